#include "config/ConfigFile.h"
#include "config/SafeFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#ifdef _WIN32
#include <windows.h>
#else
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

bool WriteConfigFile(const std::string &path, const ActuatorConfig &config, std::string &error)
{
    const std::array<uint8_t, ConfigFileSize> bytes = ToFileBytes(config);
    return WriteWholeFile(path, std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()), error);
}

namespace {

// Only the largest size we accept plus one is ever read: enough to tell a
// 22-byte file from a longer one without reading a huge file whole.
constexpr size_t kReadLimit = ConfigFileSize + 1;

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
