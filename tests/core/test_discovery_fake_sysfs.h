#pragma once
// A small sysfs and /dev laid out like the kernel's: class/tty entries are
// links into the device tree, a tty's "device" link leads to the device that
// carries it, and "driver" links name the bound driver.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "serial/Sysfs.h"

class FakeSysfs {
public:
    FakeSysfs()
    {
        char pattern[] = "/tmp/lumo-sysfs-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
        std::filesystem::create_directories(root_ / "sys" / "class" / "tty");
        std::filesystem::create_directories(root_ / "dev");
    }
    ~FakeSysfs()
    {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    FakeSysfs(const FakeSysfs &) = delete;
    FakeSysfs &operator=(const FakeSysfs &) = delete;

    SysfsTree tree() const { return {(root_ / "sys").string(), (root_ / "dev").string()}; }
    std::string dev(const std::string &name) const { return (root_ / "dev" / name).string(); }

    // A usb-serial port (ttyUSB): the tty hangs below a port device bound to
    // the usb-serial driver, below a USB interface bound to the module.
    void AddUsbSerial(const std::string &name, const std::string &interfaceDriver,
                      const std::string &portDriver)
    {
        auto iface = Sys() / "devices" / "usb1" / ("1-" + name) / ("1-" + name + ":1.0");
        auto port = iface / name;
        Bind(iface, "usb", interfaceDriver);
        Bind(port, "usb-serial", portDriver);
        AddTty(name, port);
    }
    // A CDC ACM port (ttyACM): the tty hangs directly below the interface.
    void AddAcm(const std::string &name)
    {
        auto iface = Sys() / "devices" / "usb1" / ("1-" + name) / ("1-" + name + ":1.0");
        Bind(iface, "usb", "cdc_acm");
        AddTty(name, iface);
    }
    // An on-board UART slot of the 8250 driver; type 0 means no UART answered.
    void AddUart(const std::string &name, int type)
    {
        auto device = Sys() / "devices" / "platform" / ("serial8250." + name);
        Bind(device, "platform", "serial8250");
        AddTty(name, device);
        Write(Sys() / "devices" / "platform" / ("serial8250." + name) / "tty" / name / "type",
              std::to_string(type) + "\n");
    }
    // A virtual terminal: a class/tty entry with no device behind it.
    void AddVirtual(const std::string &name)
    {
        auto dir = Sys() / "devices" / "virtual" / "tty" / name;
        std::filesystem::create_directories(dir);
        Write(dir / "uevent", "MAJOR=4\nMINOR=1\nDEVNAME=" + name + "\n");
        std::filesystem::create_directory_symlink(dir, Sys() / "class" / "tty" / name);
        Write(root_ / "dev" / name, "");
    }
    void RemoveNode(const std::string &name) { std::filesystem::remove(root_ / "dev" / name); }
    // Unplugging: the class entry, its device and its node go.
    void Remove(const std::string &name)
    {
        auto link = Sys() / "class" / "tty" / name;
        auto device = std::filesystem::canonical(link / "device");
        std::filesystem::remove(link);
        std::filesystem::remove_all(device);
        std::error_code ec;
        std::filesystem::remove(root_ / "dev" / name, ec);
    }

private:
    std::filesystem::path Sys() const { return root_ / "sys"; }
    static void Write(const std::filesystem::path &file, const std::string &text)
    {
        std::ofstream(file) << text;
    }
    void Bind(const std::filesystem::path &device, const std::string &bus, const std::string &driver)
    {
        auto driverDir = Sys() / "bus" / bus / "drivers" / driver;
        std::filesystem::create_directories(driverDir);
        std::filesystem::create_directories(device);
        std::error_code ec;
        std::filesystem::create_directory_symlink(driverDir, device / "driver", ec);
    }
    void AddTty(const std::string &name, const std::filesystem::path &device)
    {
        auto dir = device / "tty" / name;
        std::filesystem::create_directories(dir);
        Write(dir / "uevent", "MAJOR=188\nMINOR=0\nDEVNAME=" + name + "\n");
        // Relative, as the kernel makes it.
        std::filesystem::create_directory_symlink("../..", dir / "device");
        std::filesystem::create_directory_symlink(dir, Sys() / "class" / "tty" / name);
        Write(root_ / "dev" / name, "");
    }

    std::filesystem::path root_;
};
