#pragma once
// Finds the serial ports that belong to the six known USB-serial adapter
// types and lists them as entries "<port> >><adapter name>", for example
// "COM7 >>PL-2303" on Windows or "/dev/ttyUSB0 >>PL-2303" on Linux.
//
// An adapter is recognised by the driver that serves it alone, never by its
// USB identity. On Windows the walk reads each driver's "Enum" key in the
// registry; on Linux it looks at which driver sysfs shows bound to each
// serial device. Types are walked from 1 to 6 and a later type takes over a
// port an earlier one claimed.
//
//   type  adapter     Windows driver service   Linux driver
//   1     PL-2303     Ser2pl                   pl2303
//   2     HBX-4400    silabenm                 cp210x (so it shows as type 5)
//   3     TQ-7300     usbser                   cdc_acm
//   4     FTSER2K     FTSER2K                  ftdi_sio
//   5     CP210x      silabser                 cp210x
//   6     CH341ASER   CH341SER_A64             ch341 (its ports: ch341-uart)

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "serial/Registry.h"
#include "serial/SerialPorts.h"
#include "serial/Sysfs.h"

class C_USBDevice {
public:
    // The running system: the registry on Windows, /sys and /dev elsewhere.
    C_USBDevice();
    // Walks `registry`, which must outlive this object.
    explicit C_USBDevice(const RegistryReader &registry);
    // Walks the sysfs tree under tree.sysRoot with device nodes in tree.devRoot.
    explicit C_USBDevice(SysfsTree tree);
    ~C_USBDevice();
    C_USBDevice(const C_USBDevice &) = delete;
    C_USBDevice &operator=(const C_USBDevice &) = delete;

    // Empties every slot, then scans types 1 to 6 in this order.
    void ScanAdapters();
    // Records the ports of one adapter type. False for a type outside 1..6,
    // or when the driver has no usable instance list (registry: key missing,
    // "Count" unreadable, 0 or above 20; sysfs: no port bound to the driver).
    // A failing instance is skipped silently and the walk goes on.
    bool ScanAdapterType(int type);
    // Sets driverEnumKey and usbIdentity for a type 1..6; false and no change
    // for any other type.
    bool SelectAdapterType(int type);
    // "PL-2303" ... "CH341ASER" for types 1..6, empty for any other type.
    std::string AdapterName(int type) const;
    // Clears `list` and adds one entry per claimed port in natural port order
    // (COM2 before COM10); returns the number of entries, 0 when `list` is missing.
    int FillPortEntries(std::vector<std::string> *list) const;

    static constexpr int kFirstType = 1;
    static constexpr int kLastType = 6;
    // A driver listing more instances than this is taken as damaged and skipped.
    static constexpr uint32_t kMaxInstances = 20;
    // COM0 to COM254 can be recorded.
    static constexpr int kMaxPortNumber = 254;
    // Instance paths and port names are read into 200 bytes with their zero.
    static constexpr size_t kNameArea = 200;

    // Registry: the driver's "Enum" key under HKEY_LOCAL_MACHINE.
    // Sysfs: the name of the driver bound to the adapter's ports.
    std::string driverEnumKey;
    // The USB identity the selected type stands for (not compared by the walk).
    std::string usbIdentity;
    // The last port name read: "COM7" from the registry, "/dev/ttyUSB0" from sysfs.
    std::string lastPortName;
    // Port name -> adapter name of the adapter that owns the port. Registry
    // ports are keyed "COM<n>" with n in 0..254.
    std::map<std::string, std::string, NaturalLess> portSlots;

private:
    bool ScanRegistryType(int type);
    bool ScanSysfsType(int type);
    // Claims the ports in `ports` served by the driver of `type`; false when none is.
    bool RecordSysfsType(int type, const std::vector<SysfsSerialPort> &ports);

    std::unique_ptr<RegistryReader> ownedRegistry_;
    const RegistryReader *registry_ = nullptr; // null: sysfs walk
    SysfsTree tree_;
};
