#include "serial/SerialPorts.h"

#include <algorithm>
#include <cctype>

namespace {

// Where the system keeps one value per serial device; its data is the port name.
constexpr const char *kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
// Port names from SERIALCOMM are read into 8 bytes with their terminating zero.
constexpr size_t kSerialCommArea = 8;

bool IsDigit(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

int Lower(char c)
{
    return std::tolower(static_cast<unsigned char>(c));
}

} // namespace

bool ReadSerialPorts(std::vector<std::string> *list, const RegistryReader &registry)
{
    if (list == nullptr)
        return false;
    list->clear();
    std::vector<std::string> names;
    if (!registry.KeyExists(kSerialCommKey) || !registry.ListValueNames(kSerialCommKey, names))
        return false;
    for (const std::string &name : names) {
        std::string port;
        if (registry.ReadString(kSerialCommKey, name, port, kSerialCommArea))
            list->push_back(port);
    }
    return true;
}

bool ReadSerialPorts(std::vector<std::string> *list, const SysfsTree &tree)
{
    if (list == nullptr)
        return false;
    list->clear();
    std::vector<SysfsSerialPort> ports;
    if (!ListSysfsSerialPorts(tree, ports))
        return false;
    for (const SysfsSerialPort &port : ports)
        list->push_back(port.devicePath);
    // Directory order means nothing; show ttyUSB2 before ttyUSB10.
    std::sort(list->begin(), list->end(), NaturalLess{});
    return true;
}

bool ReadSerialPorts(std::vector<std::string> *list)
{
#ifdef _WIN32
    return ReadSerialPorts(list, SystemRegistry{});
#else
    return ReadSerialPorts(list, SysfsTree{});
#endif
}

std::string PortNameOfEntry(const std::string &entry)
{
    const size_t at = entry.find(kAdapterSeparator);
    if (at == std::string::npos)
        return {};
    return entry.substr(0, at);
}

int NaturalCompare(const std::string &a, const std::string &b)
{
    size_t i = 0;
    size_t j = 0;
    int zeroTie = 0; // first difference in leading zeros, for a total order
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            size_t ia = i;
            size_t jb = j;
            while (ia < a.size() && a[ia] == '0')
                ++ia;
            while (jb < b.size() && b[jb] == '0')
                ++jb;
            size_t ea = ia;
            size_t eb = jb;
            while (ea < a.size() && IsDigit(a[ea]))
                ++ea;
            while (eb < b.size() && IsDigit(b[eb]))
                ++eb;
            // Without leading zeros, the longer run is the larger number.
            if (ea - ia != eb - jb)
                return ea - ia < eb - jb ? -1 : 1;
            int digits = a.compare(ia, ea - ia, b, jb, eb - jb);
            if (digits != 0)
                return digits < 0 ? -1 : 1;
            if (zeroTie == 0 && (ia - i) != (jb - j))
                zeroTie = (ia - i) < (jb - j) ? -1 : 1;
            i = ea;
            j = eb;
            continue;
        }
        int ca = Lower(a[i]);
        int cb = Lower(b[j]);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size())
        return 1;
    if (j < b.size())
        return -1;
    if (zeroTie != 0)
        return zeroTie;
    int raw = a.compare(b);
    return raw < 0 ? -1 : (raw > 0 ? 1 : 0);
}
