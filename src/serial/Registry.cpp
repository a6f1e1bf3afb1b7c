#include "serial/Registry.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace {

std::string Lower(const std::string &text)
{
    std::string out = text;
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

} // namespace

// ---------------------------------------------------------------------------
// MemoryRegistry

void MemoryRegistry::AddKey(const std::string &key)
{
    keys_.try_emplace(Lower(key));
}

void MemoryRegistry::RemoveKey(const std::string &key)
{
    keys_.erase(Lower(key));
}

MemoryRegistry::Value &MemoryRegistry::Slot(const std::string &key, const std::string &valueName)
{
    Key &values = keys_[Lower(key)];
    const std::string wanted = Lower(valueName);
    for (Value &v : values)
        if (Lower(v.name) == wanted)
            return v;
    values.push_back(Value{valueName, false, {}, 0});
    return values.back();
}

void MemoryRegistry::SetString(const std::string &key, const std::string &valueName,
                               const std::string &value)
{
    Value &v = Slot(key, valueName);
    v.isString = true;
    v.text = value;
    v.number = 0;
}

void MemoryRegistry::SetDword(const std::string &key, const std::string &valueName, uint32_t value)
{
    Value &v = Slot(key, valueName);
    v.isString = false;
    v.text.clear();
    v.number = value;
}

const MemoryRegistry::Value *MemoryRegistry::Find(const std::string &key,
                                                  const std::string &valueName) const
{
    auto it = keys_.find(Lower(key));
    if (it == keys_.end())
        return nullptr;
    const std::string wanted = Lower(valueName);
    for (const Value &v : it->second)
        if (Lower(v.name) == wanted)
            return &v;
    return nullptr;
}

bool MemoryRegistry::KeyExists(const std::string &key) const
{
    return keys_.count(Lower(key)) != 0;
}

bool MemoryRegistry::ReadString(const std::string &key, const std::string &valueName,
                                std::string &out, size_t areaSize) const
{
    const Value *v = Find(key, valueName);
    // The text and its terminating zero must fit the area.
    if (v == nullptr || !v->isString || v->text.size() + 1 > areaSize)
        return false;
    out = v->text;
    return true;
}

bool MemoryRegistry::ReadDword(const std::string &key, const std::string &valueName,
                               uint32_t &out) const
{
    const Value *v = Find(key, valueName);
    if (v == nullptr || v->isString)
        return false;
    out = v->number;
    return true;
}

bool MemoryRegistry::ListValueNames(const std::string &key, std::vector<std::string> &names) const
{
    names.clear();
    auto it = keys_.find(Lower(key));
    if (it == keys_.end())
        return false;
    for (const Value &v : it->second)
        names.push_back(v.name);
    return true;
}

// ---------------------------------------------------------------------------
// SystemRegistry

#ifdef _WIN32

namespace {

// Closes the key when it goes out of scope, on every path.
class OpenKey {
public:
    explicit OpenKey(const std::string &key)
    {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle_) != ERROR_SUCCESS)
            handle_ = nullptr;
    }
    ~OpenKey()
    {
        if (handle_ != nullptr)
            RegCloseKey(handle_);
    }
    OpenKey(const OpenKey &) = delete;
    OpenKey &operator=(const OpenKey &) = delete;
    HKEY get() const { return handle_; }

private:
    HKEY handle_ = nullptr;
};

std::wstring Widen(const std::string &text)
{
    if (text.empty())
        return {};
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// False when the name has characters the ANSI code page cannot hold: such a
// name could not be passed back to RegQueryValueExA.
bool Narrow(const wchar_t *text, size_t length, std::string &out)
{
    out.clear();
    if (length == 0)
        return true;
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr, &lossy);
    if (n <= 0 || lossy)
        return false;
    out.assign(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
    return true;
}

} // namespace

bool SystemRegistry::KeyExists(const std::string &key) const
{
    OpenKey k(key);
    return k.get() != nullptr;
}

bool SystemRegistry::ReadString(const std::string &key, const std::string &valueName,
                                std::string &out, size_t areaSize) const
{
    if (areaSize == 0 || areaSize > 0xFFFFFFFFu)
        return false;
    OpenKey k(key);
    if (k.get() == nullptr)
        return false;
    std::vector<char> area(areaSize, '\0');
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(areaSize);
    LONG rc = RegQueryValueExA(k.get(), valueName.c_str(), nullptr, &type,
                               reinterpret_cast<BYTE *>(area.data()), &size);
    // ERROR_MORE_DATA: the value does not fit the area and nothing is used.
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || size > areaSize)
        return false;
    // A string stored without its terminating zero can fill the area to the
    // last byte; it then does not fit with its zero, so it is refused rather
    // than read past the area.
    size_t length = strnlen(area.data(), size);
    if (length >= areaSize)
        return false;
    out.assign(area.data(), length);
    return true;
}

bool SystemRegistry::ReadDword(const std::string &key, const std::string &valueName,
                               uint32_t &out) const
{
    OpenKey k(key);
    if (k.get() == nullptr)
        return false;
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    LONG rc = RegQueryValueExA(k.get(), valueName.c_str(), nullptr, &type,
                               reinterpret_cast<BYTE *>(&value), &size);
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value)
        return false;
    out = value;
    return true;
}

bool SystemRegistry::ListValueNames(const std::string &key, std::vector<std::string> &names) const
{
    names.clear();
    // Listing value names needs only read access. Asking for all access
    // rights would fail without administrator rights and leave the port list
    // silently empty.
    HKEY handle = nullptr;
    const std::wstring wideKey = Widen(key);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, wideKey.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    // 16383 characters is the longest value name the registry allows.
    std::vector<wchar_t> name(16384, L'\0');
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        LONG rc = RegEnumValueW(handle, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS)
            break; // ERROR_NO_MORE_ITEMS, or the key changed under us
        if (length >= name.size())
            continue;
        std::string narrow;
        if (Narrow(name.data(), length, narrow))
            names.push_back(narrow);
    }
    RegCloseKey(handle);
    return true;
}

#endif
