#include "serial/Sysfs.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// First line of a small attribute file, without trailing blanks; empty when
// the file cannot be read.
std::string ReadAttribute(const fs::path &file)
{
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t'))
        line.pop_back();
    return line;
}

// The node name udev and devtmpfs give the device (DEVNAME in uevent), which
// may lie in a subdirectory of /dev; the entry name when uevent has none.
std::string DeviceNodeName(const fs::path &entry, const std::string &fallback)
{
    std::ifstream in(entry / "uevent");
    std::string line;
    while (in && std::getline(in, line)) {
        if (line.rfind("DEVNAME=", 0) == 0) {
            std::string name = line.substr(8);
            // A node name never climbs out of /dev.
            if (!name.empty() && name.find("..") == std::string::npos && name.front() != '/')
                return name;
        }
    }
    return fallback;
}

// Name of the driver bound to `device` (the last part of where its "driver"
// link points); empty when no driver is bound.
std::string DriverOf(const fs::path &device)
{
    std::error_code ec;
    fs::path driver = fs::canonical(device / "driver", ec);
    if (ec)
        return {};
    return driver.filename().string();
}

} // namespace

bool ListSysfsSerialPorts(const SysfsTree &tree, std::vector<SysfsSerialPort> &ports)
{
    ports.clear();
    std::error_code ec;
    const fs::path classDir = fs::path(tree.sysRoot) / "class" / "tty";
    fs::directory_iterator it(classDir, ec);
    if (ec)
        return false;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        const fs::path entry = it->path();
        const std::string name = entry.filename().string();

        // Virtual terminals, pseudo-terminals, console and ptmx have no
        // device; one lstat settles that for most entries of a desktop.
        std::error_code lec;
        if (!fs::exists(fs::symlink_status(entry / "device", lec)))
            continue;
        fs::path device = fs::canonical(entry / "device", lec);
        if (lec || !fs::is_directory(device, lec))
            continue;

        // The 8250 driver registers a fixed number of ports whether or not
        // a UART answers at their address; those read type 0 (unknown).
        const std::string type = ReadAttribute(entry / "type");
        if (type == "0")
            continue;

        const std::string node = (fs::path(tree.devRoot) / DeviceNodeName(entry, name)).string();
        if (!fs::exists(node, lec))
            continue;

        SysfsSerialPort port;
        port.name = name;
        port.devicePath = node;
        port.driver = DriverOf(device);
        port.parentDriver = DriverOf(device.parent_path());
        ports.push_back(std::move(port));
    }
    return true;
}
