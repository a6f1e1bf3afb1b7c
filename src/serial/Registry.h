#pragma once
// Read-only access to HKEY_LOCAL_MACHINE, as far as adapter discovery and the
// port list need it. Key paths are relative to HKEY_LOCAL_MACHINE and use '\'
// as separator. Every operation opens the key, reads, and closes it again.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class RegistryReader {
public:
    virtual ~RegistryReader() = default;

    // True when `key` exists and can be opened for reading.
    virtual bool KeyExists(const std::string &key) const = 0;
    // Reads the string value `valueName` of `key` into an area of `areaSize`
    // bytes that must also hold the terminating zero: a value of areaSize
    // characters or more does not fit and fails. Fails as well when the key
    // or the value is missing or the value is not a string.
    virtual bool ReadString(const std::string &key, const std::string &valueName,
                            std::string &out, size_t areaSize) const = 0;
    // Reads the 32-bit value `valueName` of `key`; fails when the key or the
    // value is missing or the value is not a 32-bit number.
    virtual bool ReadDword(const std::string &key, const std::string &valueName,
                           uint32_t &out) const = 0;
    // The names of the values of `key`, in the order the registry lists them.
    // False when the key cannot be opened.
    virtual bool ListValueNames(const std::string &key, std::vector<std::string> &names) const = 0;
};

// A registry held in memory, filled by the caller. Key and value names are
// compared ignoring case, as the system registry does; values are listed in
// the order they were first set.
class MemoryRegistry : public RegistryReader {
public:
    // Creates `key` (empty) if it does not exist yet.
    void AddKey(const std::string &key);
    void SetString(const std::string &key, const std::string &valueName, const std::string &value);
    void SetDword(const std::string &key, const std::string &valueName, uint32_t value);
    void RemoveKey(const std::string &key);

    bool KeyExists(const std::string &key) const override;
    bool ReadString(const std::string &key, const std::string &valueName, std::string &out,
                    size_t areaSize) const override;
    bool ReadDword(const std::string &key, const std::string &valueName, uint32_t &out) const override;
    bool ListValueNames(const std::string &key, std::vector<std::string> &names) const override;

private:
    struct Value {
        std::string name;
        bool isString = false;
        std::string text;
        uint32_t number = 0;
    };
    using Key = std::vector<Value>;
    const Value *Find(const std::string &key, const std::string &valueName) const;
    Value &Slot(const std::string &key, const std::string &valueName);
    std::map<std::string, Key> keys_; // by lower-cased key path
};

#ifdef _WIN32
// The system registry (RegOpenKeyExA / RegQueryValueExA / RegEnumValueW).
class SystemRegistry : public RegistryReader {
public:
    bool KeyExists(const std::string &key) const override;
    bool ReadString(const std::string &key, const std::string &valueName, std::string &out,
                    size_t areaSize) const override;
    bool ReadDword(const std::string &key, const std::string &valueName, uint32_t &out) const override;
    bool ListValueNames(const std::string &key, std::vector<std::string> &names) const override;
};
#endif
