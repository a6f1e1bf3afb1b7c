#include "config/ConfigFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

std::string ProposedConfigFileName(uint16_t motorId, const std::tm &localTime)
{
    char name[96];
    std::snprintf(name, sizeof name, "LUMO_MID-0x%04X_%04d%02d%02d-%02d%02d", static_cast<unsigned>(motorId),
                  localTime.tm_year + 1900, localTime.tm_mon + 1, localTime.tm_mday, localTime.tm_hour,
                  localTime.tm_min);
    return name;
}

namespace {

// Only the largest size we accept plus one is ever read: enough to tell a
// 22-byte file from a longer one without reading a huge file whole.
constexpr size_t kReadLimit = ConfigFileSize + 1;

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

} // namespace

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
    if (n == 0)
        return "system error " + std::to_string(code);
    return text;
}

} // namespace

bool WriteConfigFile(const std::string &path, const ActuatorConfig &config, std::string &error)
{
    if (path.empty()) {
        error = std::strerror(ENOENT);
        return false;
    }
    const std::array<uint8_t, ConfigFileSize> bytes = ToFileBytes(config);
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
    if (file == INVALID_HANDLE_VALUE) {
        error = SystemMessage(GetLastError());
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size() && FlushFileBuffers(file);
    DWORD code = ok ? 0 : GetLastError();
    if (!CloseHandle(file) && ok) {
        ok = false;
        code = GetLastError();
    }
    if (ok && !MoveFileExW(Wide(temp).c_str(), Wide(path).c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        code = GetLastError();
    }
    if (!ok) {
        DeleteFileW(Wide(temp).c_str());
        error = SystemMessage(code == 0 ? ERROR_WRITE_FAULT : code);
        return false;
    }
    return true;
}

ImportStatus ReadConfigFile(const std::string &path, ActuatorConfig &config, std::string &error)
{
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = SystemMessage(GetLastError());
        return ImportStatus::Unreadable;
    }
    uint8_t bytes[kReadLimit];
    size_t got = 0;
    while (got < kReadLimit) {
        DWORD n = 0;
        if (!ReadFile(file, bytes + got, static_cast<DWORD>(kReadLimit - got), &n, nullptr)) {
            error = SystemMessage(GetLastError());
            CloseHandle(file);
            return ImportStatus::Unreadable;
        }
        if (n == 0)
            break;
        got += n;
    }
    CloseHandle(file);
    if (got != ConfigFileSize)
        return ImportStatus::WrongSize;
    config = FromFileBytes(bytes);
    return ImportStatus::Ok;
}

#else // POSIX

namespace {

// Fails with the errno of the step that went wrong, after cleaning up.
bool Failed(std::string &error, int code)
{
    error = std::strerror(code);
    return false;
}

bool WriteAll(int fd, const uint8_t *data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
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

// The bytes go straight to a FIFO or a character device: they are streams
// (a pipe, a terminal, /dev/null), not stored files, so there is nothing to
// replace atomically and replacing the node would take it from its readers.
// The open does not wait for a reader of a FIFO: the window must not hang on
// one that nobody reads, so that fails with ENXIO instead.
bool WriteToStream(const std::string &path, const std::array<uint8_t, ConfigFileSize> &bytes, std::string &error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return Failed(error, errno);
    int code = 0;
    // Blocking again for the write itself: a full pipe is waited for, not
    // reported as EAGAIN after part of the record.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || !WriteAll(fd, bytes.data(), bytes.size()))
        code = errno;
    if (::close(fd) != 0 && code == 0 && errno != EINTR)
        code = errno;
    return code == 0 || Failed(error, code);
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

bool WriteConfigFile(const std::string &path, const ActuatorConfig &config, std::string &error)
{
    if (path.empty())
        return Failed(error, ENOENT);
    const std::array<uint8_t, ConfigFileSize> bytes = ToFileBytes(config);

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
            // A disk or partition: 22 bytes at its start would wreck what
            // it holds, and nobody keeps a configuration there.
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

    // A new file created with the usual 0666 less the umask, or with the
    // permissions of the file it replaces.
    std::string temp;
    int fd = -1;
    for (int tries = 0; tries < 100 && fd < 0; ++tries) {
        temp = dir + "." + name.substr(0, kTempNameKeep) + "." + std::to_string(::getpid()) + "-" + std::to_string(gTempCounter++) + ".tmp";
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
    if (!WriteAll(fd, bytes.data(), bytes.size()) || ::fsync(fd) != 0)
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

ImportStatus ReadConfigFile(const std::string &path, ActuatorConfig &config, std::string &error)
{
    // Non-blocking open: a FIFO without a writer must not hang the window.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return ImportStatus::Unreadable;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return ImportStatus::Unreadable;
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        error = std::strerror(EISDIR);
        return ImportStatus::Unreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        // A device, FIFO or socket is not a 22-byte configuration file.
        ::close(fd);
        return ImportStatus::WrongSize;
    }
    uint8_t bytes[kReadLimit];
    size_t got = 0;
    while (got < kReadLimit) {
        const ssize_t n = ::read(fd, bytes + got, kReadLimit - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = std::strerror(errno);
            ::close(fd);
            return ImportStatus::Unreadable;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (got != ConfigFileSize)
        return ImportStatus::WrongSize;
    config = FromFileBytes(bytes);
    return ImportStatus::Ok;
}

#endif
