#pragma once
// What can go wrong when a program writes a file, as places to write to:
// a full disk, a folder nobody may write, a FIFO with and without a reader,
// a link, a directory, a block device. Every writer of the tool and of
// lumoctl is tried against each (tests/core, tests/cli, tests/gui).
//
// The full disk is a small tmpfs filled to its last block: a real ENOSPC
// from a real file system. Mounting needs root (the tests run as root);
// without it the case is skipped with the reason.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace writetargets {

namespace fs = std::filesystem;

enum class Target {
    FullDisk,         // an older file on a disk with no room left
    UnwritableFolder, // a folder nobody may create files in, root included (/sys)
    FifoWithReader,   // a FIFO a program reads
    FifoWithoutReader,
    LinkToFile,       // a symbolic link to an older file
    Directory,
    BlockDevice,
};

struct TargetCase {
    const char *name;
    Target target;
    bool succeeds;      // the write must succeed (else fail and say why)
    const char *reason; // words the failure must hold; empty: any reason
};

inline const TargetCase kTargetCases[] = {
    {"full_disk", Target::FullDisk, false, "disk full"},
    {"unwritable_folder", Target::UnwritableFolder, false, ""},
    {"fifo_with_reader", Target::FifoWithReader, true, ""},
    {"fifo_without_reader", Target::FifoWithoutReader, false, "No such device or address"},
    {"link_to_file", Target::LinkToFile, true, ""},
    {"directory", Target::Directory, false, "Is a directory"},
    {"block_device", Target::BlockDevice, false, "block device"},
};

inline std::string ReadAll(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const fs::path &p, const std::string &bytes)
{
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

// A place of one kind, made in a scratch folder of its own, and what it
// held before the write.
class Place {
public:
    static constexpr const char *kOld = "older contents, to be kept whole or replaced whole\n";

    explicit Place(Target target) : target_(target)
    {
        char name[] = "/tmp/lumo-write-XXXXXX";
        if (::mkdtemp(name) == nullptr) {
            skip_ = std::string("no scratch folder: ") + std::strerror(errno);
            return;
        }
        dir_ = name;
        Make();
    }
    ~Place()
    {
        StopReader();
        if (mounted_)
            ::umount2(disk_.c_str(), MNT_DETACH);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    Place(const Place &) = delete;
    Place &operator=(const Place &) = delete;

    // Why the case cannot be made here; empty when it can.
    const std::string &skip() const { return skip_; }
    // The name a writer is given.
    const std::string &path() const { return path_; }
    Target target() const { return target_; }

    // What a reader of the FIFO got, once the writer is done (waits for
    // the writer to close it).
    std::string Received()
    {
        StopReader();
        return received_;
    }

    // Whether the place is as the failed write must leave it: the older
    // file whole and no temporary beside it, the node of its kind.
    std::string CheckUntouched()
    {
        switch (target_) {
        case Target::FullDisk:
            if (ReadAll(path_) != kOld)
                return "the older file was changed: '" + ReadAll(path_) + "'";
            return OnlyNames(disk_, {"older.out", "filler"});
        case Target::UnwritableFolder:
            return fs::exists(path_) ? "a file was made in the folder" : "";
        case Target::FifoWithoutReader:
            return Kind(S_IFIFO);
        case Target::Directory:
            return fs::is_directory(path_) && fs::is_empty(path_) ? OnlyNames(dir_, {"taken"})
                                                                   : "the directory was changed";
        case Target::BlockDevice:
            return Kind(S_IFBLK);
        default:
            return "";
        }
    }

    // After a write that must succeed: the bytes that reached the place
    // (the FIFO's reader, or the file the link points to), "" when the
    // place itself is wrong.
    std::string Written(std::string &problem)
    {
        switch (target_) {
        case Target::FifoWithReader:
            problem = Kind(S_IFIFO);
            return Received();
        case Target::LinkToFile: {
            if (!fs::is_symlink(path_))
                problem = "the link is no longer a link";
            else if (const std::string names = OnlyNames(dir_, {"link.out", "real.out"}); !names.empty())
                problem = names;
            return ReadAll(dir_ / "real.out");
        }
        default:
            problem = "not a case that succeeds";
            return {};
        }
    }

private:
    void Make()
    {
        switch (target_) {
        case Target::FullDisk: {
            disk_ = dir_ / "disk";
            fs::create_directory(disk_);
            if (::mount("tmpfs", disk_.c_str(), "tmpfs", 0, "size=256k,mode=0777") != 0) {
                skip_ = std::string("cannot mount a small tmpfs to fill (needs root): ") + std::strerror(errno);
                return;
            }
            mounted_ = true;
            path_ = (disk_ / "older.out").string();
            WriteAll(path_, kOld);
            // Every block taken: the next block any write needs is refused.
            const int fd = ::open((disk_ / "filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const std::string block(4096, 'x');
            while (fd >= 0 && ::write(fd, block.data(), block.size()) > 0) {
            }
            while (fd >= 0 && ::write(fd, block.data(), 1) > 0) {
            }
            ::close(fd);
            break;
        }
        case Target::UnwritableFolder:
            // sysfs takes no new files from anyone, root included.
            path_ = "/sys/lumo-write-test-" + std::to_string(::getpid()) + ".out";
            break;
        case Target::FifoWithReader:
        case Target::FifoWithoutReader:
            path_ = (dir_ / "fifo").string();
            ::mkfifo(path_.c_str(), 0600);
            if (target_ == Target::FifoWithReader)
                StartReader();
            break;
        case Target::LinkToFile:
            WriteAll(dir_ / "real.out", kOld);
            path_ = (dir_ / "link.out").string();
            fs::create_symlink("real.out", path_); // relative, as `ln -s real.out link.out` makes it
            break;
        case Target::Directory:
            path_ = (dir_ / "taken").string();
            fs::create_directory(path_);
            break;
        case Target::BlockDevice:
            path_ = (dir_ / "disk").string();
            // A loop device's numbers; the node is never opened.
            if (::mknod(path_.c_str(), S_IFBLK | 0600, ::makedev(7, 200)) != 0)
                skip_ = std::string("cannot make a block device node (needs root): ") + std::strerror(errno);
            break;
        }
    }

    // A reader that has the FIFO open before the writer comes, as a
    // program reading it would, and reads until the writer closes it.
    void StartReader()
    {
        readerFd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
        reader_ = std::thread([this] {
            const int fd = readerFd_;
            bool sawWriter = false;
            for (int idle = 0; idle < 3000;) {
                char chunk[65536];
                const ssize_t n = ::read(fd, chunk, sizeof chunk);
                if (n > 0) {
                    received_.append(chunk, static_cast<size_t>(n));
                    sawWriter = true;
                    continue;
                }
                // 0: no writer (yet, or any more); EAGAIN: a writer, no data yet.
                if (n == 0 && (sawWriter || stop_))
                    break;
                if (n < 0 && errno == EAGAIN)
                    sawWriter = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                if (stop_)
                    ++idle;
            }
        });
    }
    void StopReader()
    {
        if (!reader_.joinable())
            return;
        stop_ = true;
        reader_.join();
        ::close(readerFd_);
    }

    std::string Kind(mode_t kind) const
    {
        struct stat st {};
        if (::lstat(path_.c_str(), &st) != 0 || (st.st_mode & S_IFMT) != kind)
            return "the node at " + path_ + " changed its kind";
        return "";
    }

    static std::string OnlyNames(const fs::path &folder, std::vector<std::string> expected)
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        std::sort(expected.begin(), expected.end());
        if (names == expected)
            return "";
        std::string listed;
        for (const std::string &n : names)
            listed += n + " ";
        return "the folder holds: " + listed;
    }

    Target target_;
    fs::path dir_;
    fs::path disk_;
    std::string path_;
    std::string skip_;
    bool mounted_ = false;
    int readerFd_ = -1;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::string received_;
};

} // namespace writetargets
