// Adapter discovery and the plain port list: the registry walk (driven by an
// in-memory registry), the sysfs walk (driven by a fake tree), and the running
// system.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "serial/Registry.h"
#include "serial/SerialPorts.h"
#include "serial/UsbDevice.h"
#include "test_discovery_fake_sysfs.h"

using Strings = std::vector<std::string>;

namespace {

const char *const kEnumKeys[] = {
    "",
    "SYSTEM\\CurrentControlSet\\Services\\Ser2pl\\Enum",
    "SYSTEM\\CurrentControlSet\\Services\\silabenm\\Enum",
    "SYSTEM\\CurrentControlSet\\Services\\usbser\\Enum",
    "SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum",
    "SYSTEM\\CurrentControlSet\\Services\\silabser\\Enum",
    "SYSTEM\\CurrentControlSet\\Services\\CH341SER_A64\\Enum",
};
const char *const kSerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Installs the driver of `type` with the given instances: each instance is
// a port name, or nullptr for an instance whose "Device Parameters" key is missing.
void InstallDriver(MemoryRegistry &reg, int type, const std::vector<const char *> &ports,
                   uint32_t count)
{
    const std::string enumKey = kEnumKeys[type];
    reg.SetDword(enumKey, "Count", count);
    for (size_t i = 0; i < ports.size(); ++i) {
        const std::string instance = "USB\\VID_" + std::to_string(type) + "\\inst" + std::to_string(i);
        reg.SetString(enumKey, std::to_string(i), instance);
        if (ports[i] != nullptr)
            reg.SetString("SYSTEM\\CurrentControlSet\\Enum\\" + instance + "\\Device Parameters",
                          "PortName", ports[i]);
    }
}

struct Driver {
    int type;
    std::vector<const char *> ports;
    int count = -1; // -1: the number of ports
};

struct RegistryCase {
    const char *name;
    std::vector<Driver> drivers;
    Strings entries;
};

void PrintTo(const RegistryCase &c, std::ostream *os)
{
    *os << c.name;
}

Strings ScanEntries(const RegistryReader &reg)
{
    C_USBDevice finder(reg);
    finder.ScanAdapters();
    Strings entries;
    const int count = finder.FillPortEntries(&entries);
    EXPECT_EQ(count, static_cast<int>(entries.size()));
    return entries;
}

} // namespace

class RegistryScan : public testing::TestWithParam<RegistryCase> {};

TEST_P(RegistryScan, YieldsEntries)
{
    MemoryRegistry reg;
    for (const Driver &d : GetParam().drivers)
        InstallDriver(reg, d.type, d.ports, d.count < 0 ? static_cast<uint32_t>(d.ports.size())
                                                        : static_cast<uint32_t>(d.count));
    EXPECT_EQ(ScanEntries(reg), GetParam().entries);
}

const std::string k200(200, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryScan,
    testing::Values(
        RegistryCase{"Pl2303OnCom7AndFtdiOnCom12",
                     {{1, {"COM7"}}, {4, {"COM12"}}},
                     {"COM7 >>PL-2303", "COM12 >>FTSER2K"}},
        RegistryCase{"NoAdapter", {}, {}},
        RegistryCase{"CountAbove20SkipsTheDriver",
                     {{1, {"COM3", "COM4"}, 21}, {5, {"COM9"}}},
                     {"COM9 >>CP210x"}},
        RegistryCase{"CountOf20IsRead",
                     {{1, {"COM3"}, 20}},
                     {"COM3 >>PL-2303"}},
        RegistryCase{"CountZeroSkipsTheDriver", {{1, {"COM3"}, 0}}, {}},
        RegistryCase{"PortNumbersOutside0To254AreNotRecorded",
                     {{1, {"COM255", "COM254", "COM0", "COM99999999999"}}},
                     {"COM0 >>PL-2303", "COM254 >>PL-2303"}},
        RegistryCase{"LaterTypeTakesTheSlot",
                     {{6, {"COM5"}}, {2, {"COM5", "COM6"}}, {5, {"COM5"}}},
                     {"COM5 >>CH341ASER", "COM6 >>HBX-4400"}},
        RegistryCase{"NamesThatAreNotComNumbersAreSkippedAndTheWalkGoesOn",
                     {{3, {"COM2", "LPT1", "COM", "COMx1", "COM 4", "COM+5", "com8", "COM010"}}},
                     {"COM2 >>TQ-7300", "COM8 >>TQ-7300", "COM10 >>TQ-7300"}},
        RegistryCase{"MissingDeviceParametersSkipsOnlyThatInstance",
                     {{4, {"COM1", nullptr, "COM3"}}},
                     {"COM1 >>FTSER2K", "COM3 >>FTSER2K"}},
        RegistryCase{"CountLargerThanTheInstancesPresent",
                     {{4, {"COM1"}, 5}},
                     {"COM1 >>FTSER2K"}},
        RegistryCase{"PortNamesInAscendingNumberOrder",
                     {{1, {"COM100", "COM20", "COM3"}}},
                     {"COM3 >>PL-2303", "COM20 >>PL-2303", "COM100 >>PL-2303"}}),
    [](const testing::TestParamInfo<RegistryCase> &info) { return std::string(info.param.name); });

TEST(RegistryWalk, ValuesThatDoNotFitTwoHundredBytesAreSkipped)
{
    MemoryRegistry reg;
    const std::string enumKey = kEnumKeys[1];
    const std::string params = "SYSTEM\\CurrentControlSet\\Enum\\";
    const std::string fits = "USB\\" + std::string(199 - 4, 'a');  // 199 characters
    const std::string tooLong = "USB\\" + std::string(200 - 4, 'b'); // 200 characters
    reg.SetDword(enumKey, "Count", 4);
    reg.SetString(enumKey, "0", fits);
    reg.SetString(params + fits + "\\Device Parameters", "PortName", "COM1");
    reg.SetString(enumKey, "1", tooLong);
    reg.SetString(params + tooLong + "\\Device Parameters", "PortName", "COM2");
    reg.SetString(enumKey, "2", "USB\\c");
    reg.SetString(params + "USB\\c\\Device Parameters", "PortName", "COM3" + std::string(196, '0'));
    reg.SetDword(enumKey, "3", 7); // not a string
    EXPECT_EQ(ScanEntries(reg), (Strings{"COM1 >>PL-2303"}));
}

TEST(RegistryWalk, ScanStartsFromEmptySlots)
{
    MemoryRegistry reg;
    InstallDriver(reg, 1, {"COM7"}, 1);
    C_USBDevice finder(reg);
    finder.ScanAdapters();
    Strings entries;
    ASSERT_EQ(finder.FillPortEntries(&entries), 1);
    reg.RemoveKey(kEnumKeys[1]); // unplugged and the driver's list gone
    finder.ScanAdapters();
    EXPECT_EQ(finder.FillPortEntries(&entries), 0);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(finder.FillPortEntries(nullptr), 0);
}

TEST(RegistryWalk, ScanAdapterTypeResultAndSelection)
{
    MemoryRegistry reg;
    InstallDriver(reg, 1, {"COM7"}, 1);
    InstallDriver(reg, 2, {"COM8"}, 21);
    C_USBDevice finder(reg);

    EXPECT_TRUE(finder.ScanAdapterType(1));
    EXPECT_EQ(finder.driverEnumKey, kEnumKeys[1]);
    EXPECT_EQ(finder.lastPortName, "COM7");
    EXPECT_FALSE(finder.ScanAdapterType(2)); // Count 21
    EXPECT_FALSE(finder.ScanAdapterType(3)); // driver not installed
    EXPECT_EQ(finder.driverEnumKey, kEnumKeys[3]);

    for (int bad : {0, 7, -1}) {
        EXPECT_FALSE(finder.SelectAdapterType(bad));
        EXPECT_FALSE(finder.ScanAdapterType(bad));
        EXPECT_EQ(finder.driverEnumKey, kEnumKeys[3]) << "type " << bad << " changed the selection";
        EXPECT_EQ(finder.AdapterName(bad), "");
    }
    const Strings names{"PL-2303", "HBX-4400", "TQ-7300", "FTSER2K", "CP210x", "CH341ASER"};
    for (int type = 1; type <= 6; ++type)
        EXPECT_EQ(finder.AdapterName(type), names[static_cast<size_t>(type - 1)]);
}

TEST(SerialCommList, ValuesOfEightCharactersOrMoreAreLeftOut)
{
    MemoryRegistry reg;
    reg.SetString(kSerialComm, "\\Device\\Serial0", "COM10");
    reg.SetString(kSerialComm, "\\Device\\VCP0", "COM12345"); // 8 characters
    reg.SetString(kSerialComm, "\\Device\\Serial1", "COM3");
    reg.SetDword(kSerialComm, "\\Device\\Odd", 5);
    reg.SetString(kSerialComm, "\\Device\\Serial2", "COM1234"); // 7 characters fit
    Strings list{"stale"};
    ASSERT_TRUE(ReadSerialPorts(&list, reg));
    EXPECT_EQ(list, (Strings{"COM10", "COM3", "COM1234"})); // registry order, unsorted
}

TEST(SerialCommList, MissingKeyOrListIsFalse)
{
    MemoryRegistry reg;
    Strings list{"stale"};
    EXPECT_FALSE(ReadSerialPorts(&list, reg));
    EXPECT_TRUE(list.empty());
    reg.AddKey(kSerialComm);
    EXPECT_TRUE(ReadSerialPorts(&list, reg));
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(ReadSerialPorts(nullptr, reg));
}

TEST(PortEntries, PortNameOfEntry)
{
    const std::pair<const char *, const char *> cases[] = {
        {"COM7 >>PL-2303", "COM7"},
        {"COM7", ""},
        {"", ""},
        {" >>CP210x", ""},
        {"/dev/ttyUSB0 >>PL-2303", "/dev/ttyUSB0"},
        {"COM3 >>A >>B", "COM3"},
        {"COM3>>PL-2303", ""},
    };
    for (const auto &[entry, port] : cases)
        EXPECT_EQ(PortNameOfEntry(entry), port) << entry;
}

TEST(PortEntries, NaturalOrder)
{
    Strings names{"COM10", "com2", "COM1", "/dev/ttyUSB10", "/dev/ttyUSB2", "/dev/ttyACM0",
                  "/dev/ttyS1", "COM02", "COM2"};
    std::sort(names.begin(), names.end(), NaturalLess{});
    EXPECT_EQ(names, (Strings{"/dev/ttyACM0", "/dev/ttyS1", "/dev/ttyUSB2", "/dev/ttyUSB10", "COM1",
                              "COM2", "com2", "COM02", "COM10"}));
    EXPECT_EQ(NaturalCompare("COM7", "COM7"), 0);
    EXPECT_LT(NaturalCompare("COM9", "COM10"), 0);
    EXPECT_GT(NaturalCompare("COM10", "COM9"), 0);
    EXPECT_LT(NaturalCompare("COM1", "COM1A"), 0);
    EXPECT_LT(NaturalCompare("COM99999999999999999998", "COM99999999999999999999"), 0);
}

// --- Linux: sysfs ---------------------------------------------------------

class SysfsDiscovery : public testing::Test {
protected:
    void SetUp() override
    {
        sys.AddUsbSerial("ttyUSB0", "pl2303", "pl2303");
        sys.AddAcm("ttyACM0");
        sys.AddUart("ttyS0", 4); // a 16550A that answered
        sys.AddUart("ttyS1", 0); // a slot with no UART behind it
        sys.AddUsbSerial("ttyUSB10", "cp210x", "cp210x");
        sys.AddUsbSerial("ttyUSB2", "ch341", "ch341-uart");
        sys.AddUsbSerial("ttyUSB3", "ftdi_sio", "ftdi_sio");
        sys.AddUsbSerial("ttyUSB4", "option", "option1"); // a modem: a port, no adapter
        sys.AddUsbSerial("ttyUSB5", "pl2303", "pl2303");
        sys.RemoveNode("ttyUSB5"); // in sysfs but not in this /dev
        sys.AddVirtual("tty1");
        sys.AddVirtual("ptmx");
    }
    FakeSysfs sys;
};

TEST_F(SysfsDiscovery, PortListHoldsOnlyDevicesThatExist)
{
    Strings list{"stale"};
    ASSERT_TRUE(ReadSerialPorts(&list, sys.tree()));
    EXPECT_EQ(list, (Strings{sys.dev("ttyACM0"), sys.dev("ttyS0"), sys.dev("ttyUSB0"), sys.dev("ttyUSB2"),
                             sys.dev("ttyUSB3"), sys.dev("ttyUSB4"), sys.dev("ttyUSB10")}));
}

TEST_F(SysfsDiscovery, AdapterEntriesByDriver)
{
    C_USBDevice finder(sys.tree());
    finder.ScanAdapters();
    Strings entries;
    EXPECT_EQ(finder.FillPortEntries(&entries), 5);
    EXPECT_EQ(entries, (Strings{sys.dev("ttyACM0") + " >>TQ-7300", sys.dev("ttyUSB0") + " >>PL-2303",
                                sys.dev("ttyUSB2") + " >>CH341ASER", sys.dev("ttyUSB3") + " >>FTSER2K",
                                sys.dev("ttyUSB10") + " >>CP210x"}));
    EXPECT_EQ(PortNameOfEntry(entries[1]), sys.dev("ttyUSB0"));
}

TEST_F(SysfsDiscovery, ScanAdapterTypeReportsWhetherTheDriverHasPorts)
{
    C_USBDevice finder(sys.tree());
    EXPECT_TRUE(finder.ScanAdapterType(1));
    EXPECT_EQ(finder.driverEnumKey, "pl2303");
    EXPECT_EQ(finder.lastPortName, sys.dev("ttyUSB0"));
    // Type 2's driver serves type 5's adapter too; the later type wins the slot.
    EXPECT_TRUE(finder.ScanAdapterType(2));
    EXPECT_EQ(finder.portSlots.at(sys.dev("ttyUSB10")), "HBX-4400");
    EXPECT_TRUE(finder.ScanAdapterType(5));
    EXPECT_EQ(finder.portSlots.at(sys.dev("ttyUSB10")), "CP210x");

    sys.Remove("ttyUSB0");
    EXPECT_FALSE(finder.ScanAdapterType(1));
    finder.ScanAdapters();
    EXPECT_EQ(finder.portSlots.count(sys.dev("ttyUSB0")), 0u);
}

TEST(SysfsDiscoveryMissingTree, IsFalseAndEmpty)
{
    const SysfsTree none{"/nonexistent-lumo/sys", "/nonexistent-lumo/dev"};
    Strings list{"stale"};
    EXPECT_FALSE(ReadSerialPorts(&list, none));
    EXPECT_TRUE(list.empty());
    C_USBDevice finder(none);
    finder.ScanAdapters();
    Strings entries{"stale"};
    EXPECT_EQ(finder.FillPortEntries(&entries), 0);
    EXPECT_TRUE(entries.empty());
}

// --- The running system ---------------------------------------------------

TEST(RunningSystem, ListsAreConsistent)
{
    Strings ports;
    ASSERT_TRUE(ReadSerialPorts(&ports));
    for (const std::string &port : ports) {
        struct stat st{};
        EXPECT_EQ(::stat(port.c_str(), &st), 0) << port;
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << port;
        EXPECT_EQ(port.rfind("/dev/tty", 0), 0u) << port;
    }
    C_USBDevice finder;
    finder.ScanAdapters();
    Strings entries;
    const int count = finder.FillPortEntries(&entries);
    EXPECT_EQ(count, static_cast<int>(entries.size()));
    // Every adapter port is a port of the plain list.
    for (const std::string &entry : entries)
        EXPECT_NE(std::find(ports.begin(), ports.end(), PortNameOfEntry(entry)), ports.end()) << entry;
    RecordProperty("ports", static_cast<int>(ports.size()));
    RecordProperty("adapters", static_cast<int>(entries.size()));
}
