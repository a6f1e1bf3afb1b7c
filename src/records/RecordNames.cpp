// The parts of the record store that need no database: event names, motor
// IDs, the default location and who and where this program runs.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

#include "records/RecordStore.h"

namespace records {

namespace {

constexpr struct {
    EventKind kind;
    const char *name;
} kKindNames[] = {
    {EventKind::DeviceSeen, "device-seen"},       {EventKind::ConfigRead, "config-read"},
    {EventKind::ConfigWrite, "config-write"},     {EventKind::AddressChange, "address-change"},
    {EventKind::Learning, "learning"},            {EventKind::Motion, "motion"},
    {EventKind::CycleTest, "cycle-test"},         {EventKind::ConfigImport, "config-import"},
    {EventKind::ConfigExport, "config-export"},
};

// An environment variable's value, nothing when it is not set. Paths and
// names leave here as UTF-8, as SQLite and the rest of the program take
// them. On Windows the C library's getenv() would give the ANSI code page's
// bytes instead: a user named Jürgen would get a records path that SQLite
// cannot open, and a user name that is not ASCII would be stored garbled.
std::optional<std::string> Env(const char *name)
{
#ifdef _WIN32
    std::wstring wideName;
    for (const char *c = name; *c != '\0'; ++c)
        wideName += static_cast<wchar_t>(*c); // our names are ASCII
    // Asked with no room, it tells the room needed with the terminating
    // zero, so 1 for a variable set to nothing and 0 for one not set.
    const DWORD room = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (room == 0)
        return std::nullopt;
    std::wstring wide(room, L'\0');
    const DWORD n = GetEnvironmentVariableW(wideName.c_str(), wide.data(), room);
    wide.resize(n < room ? n : 0);
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string value(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), value.data(), bytes, nullptr,
                            nullptr);
    return value;
#else
    const char *value = std::getenv(name);
    if (value == nullptr)
        return std::nullopt;
    return std::string(value);
#endif
}

} // namespace

const char *KindName(EventKind kind)
{
    for (const auto &entry : kKindNames)
        if (entry.kind == kind)
            return entry.name;
    return "unknown";
}

std::optional<EventKind> KindFromName(const std::string &name)
{
    for (const auto &entry : kKindNames)
        if (name == entry.name)
            return entry.kind;
    return std::nullopt;
}

std::string MotorIdText(uint16_t motorId)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(motorId));
    return text;
}

std::optional<uint16_t> ParseMotorId(const std::string &text)
{
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 4)
        return std::nullopt;
    unsigned value = 0;
    for (const char c : digits) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return static_cast<uint16_t>(value);
}

std::string DefaultRecordsPath()
{
    if (const std::optional<std::string> path = Env("LUMO_RECORDS"))
        return *path == "off" ? std::string() : *path;
#ifdef _WIN32
    const std::string base = Env("LOCALAPPDATA").value_or("");
    return base.empty() ? std::string() : base + "\\lumo-service-tool\\records.sqlite";
#else
    // The XDG base directory rules: a relative XDG_DATA_HOME is ignored.
    std::string base = Env("XDG_DATA_HOME").value_or("");
    if (base.empty() || base[0] != '/') {
        std::string home = Env("HOME").value_or("");
        if (home.empty())
            if (const passwd *pw = ::getpwuid(::getuid()))
                home = pw->pw_dir;
        if (home.empty())
            return {};
        base = home + "/.local/share";
    }
    return base + "/lumo-service-tool/records.sqlite";
#endif
}

std::string StationName()
{
#ifdef _WIN32
    return Env("COMPUTERNAME").value_or("");
#else
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
#endif
}

std::string UserName()
{
#ifdef _WIN32
    return Env("USERNAME").value_or("");
#else
    // The account the process runs as; getlogin() needs a terminal, which a
    // production line's script does not have.
    if (const passwd *pw = ::getpwuid(::geteuid()))
        return pw->pw_name;
    return Env("USER").value_or("");
#endif
}

} // namespace records
