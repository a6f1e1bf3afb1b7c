#pragma once
// The plain list of serial ports, the natural order used to show port names,
// and the rule that turns an adapter entry back into its port name.

#include <string>
#include <vector>

#include "serial/Registry.h"
#include "serial/Sysfs.h"

// Clears `list` and fills it with the serial ports of the running system:
// on Windows the port names under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (COM3),
// elsewhere the device paths of the serial devices that exist (/dev/ttyUSB0).
// False when `list` is missing or the system's list cannot be read.
bool ReadSerialPorts(std::vector<std::string> *list);

// The SERIALCOMM walk over `registry`: value data that does not fit 7
// characters is left out; the order is the registry's. False when `list` is
// missing or the key cannot be opened or listed.
bool ReadSerialPorts(std::vector<std::string> *list, const RegistryReader &registry);

// The sysfs walk over `tree`, in natural order. False when `list` is missing
// or <sysRoot>/class/tty cannot be read.
bool ReadSerialPorts(std::vector<std::string> *list, const SysfsTree &tree);

// Separates the port name from the adapter name in an adapter entry.
inline constexpr const char *kAdapterSeparator = " >>";

// The text of `entry` before the first " >>"; empty when it has none.
std::string PortNameOfEntry(const std::string &entry);

// Compares names ignoring case, with runs of digits compared as numbers:
// COM2 < COM10, ttyUSB2 < ttyUSB10, COM007 == COM7 numerically (the shorter
// spelling first when otherwise equal). Negative, zero or positive.
int NaturalCompare(const std::string &a, const std::string &b);

struct NaturalLess {
    bool operator()(const std::string &a, const std::string &b) const { return NaturalCompare(a, b) < 0; }
};
