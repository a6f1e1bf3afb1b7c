#include "serial/UsbDevice.h"

#include <array>
#include <cctype>
#include <utility>

namespace {

struct AdapterType {
    const char *enumKey;     // registry, under HKEY_LOCAL_MACHINE
    const char *usbIdentity;
    const char *name;
    const char *linuxDriver; // the USB interface driver (module name)
    const char *linuxPortDriver; // usb-serial port driver where its name differs
};

// Indexed by type - 1.
constexpr std::array<AdapterType, 6> kAdapterTypes{{
    {"SYSTEM\\CurrentControlSet\\Services\\Ser2pl\\Enum", "Vid_067b&Pid_2303", "PL-2303", "pl2303", nullptr},
    {"SYSTEM\\CurrentControlSet\\Services\\silabenm\\Enum", "Vid_10c4&Pid_ea60\\0001", "HBX-4400", "cp210x", nullptr},
    {"SYSTEM\\CurrentControlSet\\Services\\usbser\\Enum", "Vid_0483&Pid_5741&MI_00", "TQ-7300", "cdc_acm", nullptr},
    {"SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum", "Vid_0403&Pid_6001", "FTSER2K", "ftdi_sio", nullptr},
    {"SYSTEM\\CurrentControlSet\\Services\\silabser\\Enum", "VID_10C4&PID_EA60", "CP210x", "cp210x", nullptr},
    {"SYSTEM\\CurrentControlSet\\Services\\CH341SER_A64\\Enum", "VID_1A86&PID_5523", "CH341ASER", "ch341", "ch341-uart"},
}};

constexpr const char *kDeviceEnumRoot = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr const char *kDeviceParameters = "\\Device Parameters";

const AdapterType *TypeRow(int type)
{
    if (type < C_USBDevice::kFirstType || type > C_USBDevice::kLastType)
        return nullptr;
    return &kAdapterTypes[static_cast<size_t>(type - 1)];
}

// The port number of "COM<n>" (letters in any case, n in decimal, leading
// zeros allowed); false for any other name or a number above 254. A name
// such as "LPT1" or a bare "COM" must not land in a slot.
bool ComPortNumber(const std::string &portName, int &number)
{
    if (portName.size() < 4)
        return false;
    for (size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(portName[i])) != "COM"[i])
            return false;
    int value = 0;
    for (size_t i = 3; i < portName.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(portName[i])))
            return false;
        value = value * 10 + (portName[i] - '0');
        if (value > C_USBDevice::kMaxPortNumber)
            return false; // also keeps the sum from overflowing
    }
    number = value;
    return true;
}

bool Matches(const AdapterType &row, const std::string &driver)
{
    if (driver.empty())
        return false;
    return driver == row.linuxDriver || (row.linuxPortDriver != nullptr && driver == row.linuxPortDriver);
}

} // namespace

C_USBDevice::C_USBDevice()
{
#ifdef _WIN32
    ownedRegistry_ = std::make_unique<SystemRegistry>();
    registry_ = ownedRegistry_.get();
#endif
}

C_USBDevice::C_USBDevice(const RegistryReader &registry) : registry_(&registry) {}

C_USBDevice::C_USBDevice(SysfsTree tree) : tree_(std::move(tree)) {}

C_USBDevice::~C_USBDevice() = default;

void C_USBDevice::ScanAdapters()
{
    portSlots.clear();
    if (registry_ == nullptr) {
        // One look at sysfs serves all six types, so they all see the same
        // set of devices even while one is being plugged in.
        std::vector<SysfsSerialPort> ports;
        const bool listed = ListSysfsSerialPorts(tree_, ports);
        for (int type = kFirstType; type <= kLastType; ++type)
            if (SelectAdapterType(type) && listed)
                RecordSysfsType(type, ports);
        return;
    }
    for (int type = kFirstType; type <= kLastType; ++type)
        ScanAdapterType(type);
}

bool C_USBDevice::SelectAdapterType(int type)
{
    const AdapterType *row = TypeRow(type);
    if (row == nullptr)
        return false;
    driverEnumKey = registry_ != nullptr ? row->enumKey : row->linuxDriver;
    usbIdentity = row->usbIdentity;
    return true;
}

std::string C_USBDevice::AdapterName(int type) const
{
    const AdapterType *row = TypeRow(type);
    return row != nullptr ? row->name : "";
}

bool C_USBDevice::ScanAdapterType(int type)
{
    if (!SelectAdapterType(type))
        return false;
    return registry_ != nullptr ? ScanRegistryType(type) : ScanSysfsType(type);
}

bool C_USBDevice::ScanRegistryType(int type)
{
    uint32_t count = 0;
    if (!registry_->KeyExists(driverEnumKey)) // the driver is not installed
        return false;
    if (!registry_->ReadDword(driverEnumKey, "Count", count) || count == 0 || count > kMaxInstances)
        return false;
    const std::string name = AdapterName(type);
    // Instance values "0".."Count-1", visited from the last to the first.
    for (uint32_t k = count; k >= 1; --k) {
        std::string instance;
        if (!registry_->ReadString(driverEnumKey, std::to_string(k - 1), instance, kNameArea))
            continue;
        const std::string parameters = kDeviceEnumRoot + instance + kDeviceParameters;
        std::string portName;
        if (!registry_->ReadString(parameters, "PortName", portName, kNameArea))
            continue;
        lastPortName = portName;
        int number = 0;
        if (ComPortNumber(portName, number))
            portSlots["COM" + std::to_string(number)] = name;
    }
    return true;
}

bool C_USBDevice::ScanSysfsType(int type)
{
    std::vector<SysfsSerialPort> ports;
    if (!ListSysfsSerialPorts(tree_, ports))
        return false;
    return RecordSysfsType(type, ports);
}

bool C_USBDevice::RecordSysfsType(int type, const std::vector<SysfsSerialPort> &ports)
{
    const AdapterType &row = *TypeRow(type);
    const std::string name = AdapterName(type);
    bool found = false;
    for (const SysfsSerialPort &port : ports) {
        // A ttyUSB hangs below its USB interface and the interface carries
        // the module's name; a ttyACM is the interface itself.
        if (!Matches(row, port.driver) && !Matches(row, port.parentDriver))
            continue;
        lastPortName = port.devicePath;
        portSlots[port.devicePath] = name;
        found = true;
    }
    return found;
}

int C_USBDevice::FillPortEntries(std::vector<std::string> *list) const
{
    if (list == nullptr)
        return 0;
    list->clear();
    for (const auto &[port, adapter] : portSlots)
        if (!adapter.empty())
            list->push_back(port + kAdapterSeparator + adapter);
    return static_cast<int>(list->size());
}
