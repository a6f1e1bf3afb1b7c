#include "config/SafeFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::atomic<unsigned> gTempCounter{0};
// The temporary's name repeats at most this much of the target's, so a
// target name near the file system's limit still leaves room for the suffix.
constexpr size_t kTempNameKeep = 200;

// Directory part (with its trailing separator, or empty) and file name.
void SplitPath(const std::string &path, std::string &dir, std::string &name)
{
#ifdef _WIN32
    const size_t cut = path.find_last_of("/\\:");
#else
    const size_t cut = path.find_last_of('/');
#endif
    dir = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    name = cut == std::string::npos ? path : path.substr(cut + 1);
}

const char *const kDiskFull = "disk full";

} // namespace

std::string WriteErrorText(int errnoCode)
{
    const std::string system = std::strerror(errnoCode);
    // A full disk, a full quota and the file-size limit all mean the same
    // to the person saving: there is no room for the file there.
    switch (errnoCode) {
    case ENOSPC:
    case EFBIG:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return std::string(kDiskFull) + " (" + system + ")";
    default:
        return system;
    }
}

#ifdef _WIN32

namespace {

// Paths arrive as UTF-8 (as a Qt dialog's QString converts); the wide API
// takes any name the file system allows, the ANSI one only the code page's.
std::wstring Wide(const std::string &utf8)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string SystemMessage(DWORD code)
{
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.'))
        text[--n] = '\0';
    std::string message = n == 0 ? "system error " + std::to_string(code) : std::string(text);
    if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL)
        return std::string(kDiskFull) + " (" + message + ")";
    return message;
}

bool Failed(std::string &error, DWORD code)
{
    error = SystemMessage(code == 0 ? ERROR_WRITE_FAULT : code);
    return false;
}

// WriteFile takes at most 4 GiB a call and may take less than asked.
bool WriteAll(HANDLE file, std::string_view bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t left = bytes.size() - done;
        const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr))
            return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        done += written;
    }
    return true;
}

} // namespace

bool WriteWholeFile(const std::string &path, std::string_view bytes, std::string &error, const WriteOptions &options)
{
    if (path.empty())
        return Failed(error, ERROR_PATH_NOT_FOUND);
    if (options.dashIsStdout && path == "-") {
        const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        if (out == INVALID_HANDLE_VALUE || out == nullptr)
            return Failed(error, ERROR_INVALID_HANDLE);
        if (!WriteAll(out, bytes))
            return Failed(error, GetLastError());
        return true;
    }
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = std::strerror(EISDIR);
        return false;
    }

    std::string dir, name;
    SplitPath(path, dir, name);
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string temp;
    for (int tries = 0; tries < 100 && file == INVALID_HANDLE_VALUE; ++tries) {
        temp = dir + "~" + name.substr(0, kTempNameKeep) + "." + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(gTempCounter++) + ".tmp";
        file = CreateFileW(Wide(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    if (file == INVALID_HANDLE_VALUE)
        return Failed(error, GetLastError());
    bool ok = WriteAll(file, bytes) && FlushFileBuffers(file);
    DWORD code = ok ? 0 : GetLastError();
    if (!CloseHandle(file) && ok) {
        ok = false;
        code = GetLastError();
    }
    // Write-through: the rename is on the disk when MoveFileEx returns.
    if (ok && !MoveFileExW(Wide(temp).c_str(), Wide(path).c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        code = GetLastError();
    }
    if (!ok) {
        DeleteFileW(Wide(temp).c_str());
        return Failed(error, code);
    }
    return true;
}

#else // POSIX

namespace {

bool Failed(std::string &error, int code)
{
    error = WriteErrorText(code);
    return false;
}

// A stream whose reader has gone sends SIGPIPE, whose default ends the
// program; the window must live on and say so. The signal is held back for
// this thread while it writes, and one it raised is taken away before the
// mask is restored, so the write fails with EPIPE instead.
class SigpipeHeld {
public:
    SigpipeHeld()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeHeld()
    {
        if (!wasPending_) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                const timespec now{0, 0};
                while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
                }
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeHeld(const SigpipeHeld &) = delete;
    SigpipeHeld &operator=(const SigpipeHeld &) = delete;

private:
    sigset_t pipe_{};
    sigset_t old_{};
    bool wasPending_ = false;
};

// Every byte, through short writes and interruptions; false with errno set.
bool WriteAll(int fd, std::string_view bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Follows a chain of symbolic links that ends at a name not yet taken (a
// "dangling" link), so that the new file is made where the link points and
// the link stays. Each relative link is read from its own directory. Fails
// with ELOOP after 40 links, as the kernel does.
bool FollowDanglingLink(std::string &path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return true;
        std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0)
            return false;
        target.resize(static_cast<size_t>(n));
        if (target.empty() || target[0] != '/') {
            std::string dir, name;
            SplitPath(path, dir, name);
            target = dir + target;
        }
        path = target;
    }
    errno = ELOOP;
    return false;
}

bool WriteToOpenStream(int fd, std::string_view bytes, std::string &error)
{
    SigpipeHeld held;
    if (!WriteAll(fd, bytes))
        return Failed(error, errno);
    return true;
}

// FIFOs and character devices are streams (a pipe, a terminal, /dev/null),
// not stored files: there is nothing to replace atomically, and replacing
// the node would take it from its readers. The open does not wait for a
// reader of a FIFO: nobody may hang on one that nobody reads, so that fails
// with ENXIO instead.
bool WriteToStream(const std::string &path, std::string_view bytes, std::string &error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return Failed(error, errno);
    // Blocking again for the write itself: a full pipe is waited for, not
    // reported as EAGAIN after part of the bytes.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int code = errno;
        ::close(fd);
        return Failed(error, code);
    }
    const bool ok = WriteToOpenStream(fd, bytes, error);
    if (::close(fd) != 0 && ok && errno != EINTR)
        return Failed(error, errno);
    return ok;
}

// Makes the rename itself durable; a failure here changes nothing already
// done, so it is not reported.
void SyncDirectory(const std::string &dir)
{
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

bool WriteWholeFile(const std::string &path, std::string_view bytes, std::string &error, const WriteOptions &options)
{
    if (path.empty())
        return Failed(error, ENOENT);
    if (options.dashIsStdout && path == "-")
        return WriteToOpenStream(STDOUT_FILENO, bytes, error);

    // What the name stands for decides how it is written; the kind of file
    // at the name never changes. stat() follows links, including the
    // kernel's own ones such as /dev/stdout -> /proc/self/fd/1 -> a pipe.
    std::string target = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return Failed(error, EISDIR);
        if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))
            return WriteToStream(path, bytes, error);
        if (S_ISBLK(st.st_mode)) {
            // A disk or partition: bytes at its start would wreck what it
            // holds, and nobody keeps a saved file there.
            error = "it is a block device (a disk or partition), not a file";
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            error = "it is a socket, not a file";
            return false;
        }
        // A regular file, perhaps through links: the file itself is
        // replaced and every link to it stays a link.
        struct stat own {};
        if (::lstat(path.c_str(), &own) == 0 && S_ISLNK(own.st_mode)) {
            char *real = ::realpath(path.c_str(), nullptr);
            if (real == nullptr)
                return Failed(error, errno);
            target = real;
            std::free(real);
        }
    } else if (errno != ENOENT) {
        return Failed(error, errno);
    } else if (!FollowDanglingLink(target)) {
        return Failed(error, errno);
    }
    std::string dir, name;
    SplitPath(target, dir, name);

    // A new file is created with the usual 0666 less the umask, or gets the
    // permissions of the file it replaces.
    std::string temp;
    int fd = -1;
    for (int tries = 0; tries < 100 && fd < 0; ++tries) {
        temp = dir + "." + name.substr(0, kTempNameKeep) + "." + std::to_string(::getpid()) + "-" +
               std::to_string(gTempCounter++) + ".tmp";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return Failed(error, errno);

    int code = 0;
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(fd, old.st_mode & 07777); // best effort: the bytes matter more than the mode
    // fsync reports what the write-back found (a full disk on a file
    // system that allocates late, a failing disk): only then is the file
    // whole on the disk.
    if (!WriteAll(fd, bytes) || ::fsync(fd) != 0)
        code = errno;
    if (::close(fd) != 0 && code == 0)
        code = errno;
    if (code == 0 && ::rename(temp.c_str(), target.c_str()) != 0)
        code = errno;
    if (code != 0) {
        ::unlink(temp.c_str());
        return Failed(error, code);
    }
    SyncDirectory(dir);
    return true;
}

#endif
