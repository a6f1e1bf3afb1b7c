#pragma once
// The serial devices of a Linux system as sysfs describes them. Both roots
// are parameters so that tests can point them at a small tree of their own.

#include <string>
#include <vector>

struct SysfsTree {
    std::string sysRoot = "/sys";
    std::string devRoot = "/dev";
};

struct SysfsSerialPort {
    std::string name;          // class/tty entry, e.g. ttyUSB0
    std::string devicePath;    // device node, e.g. /dev/ttyUSB0
    std::string driver;        // driver of the tty's device: pl2303, cdc_acm, serial8250 ...
    std::string parentDriver;  // driver of the device above it (the USB interface of a ttyUSB)
};

// The serial devices that really exist: a class/tty entry backed by a device
// (virtual consoles and pseudo-terminals have none), not a UART slot the
// driver reserved without hardware behind it (its "type" reads 0), and with
// its node present under devRoot (a container may see the host's sysfs but
// not its devices). False when <sysRoot>/class/tty cannot be read.
bool ListSysfsSerialPorts(const SysfsTree &tree, std::vector<SysfsSerialPort> &ports);
