// Adapter discovery and the port list through the Win32 registry calls,
// against a real registry: scripts/windows-tests.sh writes the keys below
// with `wine reg add` and sets LUMO_WIN_REGISTRY=1 when they are in place.
//
//   driver "Enum" key      Count  instances (visited from the last)
//   Ser2pl                 1      COM7
//   silabenm               -      (no Enum key: driver not installed)
//   usbser                 21     COM40, COM41 (too many: skipped as a whole)
//   FTSER2K                1      COM12
//   silabser               4      COM9, COM255, COMA, COM33
//   CH341SER_A64           1      COM9 (the same port as a silabser one)
//
//   HARDWARE\DEVICEMAP\SERIALCOMM  also \Device\LumoSeven = COM1234 and
//                                  \Device\LumoEight = COM12345
//   SOFTWARE\LumoRegistryTest      Text199, Text200 (REG_SZ of 199 and 200
//                                  'x'), Number (REG_DWORD 21), Empty (""),
//                                  Expand (REG_EXPAND_SZ "COM3")

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/Registry.h"
#include "serial/SerialPorts.h"
#include "serial/UsbDevice.h"

using Strings = std::vector<std::string>;

namespace {

constexpr const char *kSerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr const char *kTestKey = "SOFTWARE\\LumoRegistryTest";

bool Contains(const Strings &list, const std::string &item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

class RealRegistry : public testing::Test {
protected:
    void SetUp() override
    {
        const char *ready = std::getenv("LUMO_WIN_REGISTRY");
        if (ready == nullptr || std::string(ready) != "1")
            GTEST_SKIP() << "LUMO_WIN_REGISTRY=1 is set by scripts/windows-tests.sh once the keys exist";
    }
    SystemRegistry registry;
};

struct TypeScanCase {
    const char *name;
    std::vector<int> types; // scanned in this order with ScanAdapterType
    std::vector<bool> results;
    Strings entries;
};

void PrintTo(const TypeScanCase &c, std::ostream *os)
{
    *os << c.name;
}

class RealRegistryTypes : public RealRegistry, public testing::WithParamInterface<TypeScanCase> {};

TEST_P(RealRegistryTypes, ScanAdapterTypeYieldsEntries)
{
    const TypeScanCase &c = GetParam();
    C_USBDevice finder(registry);
    for (size_t i = 0; i < c.types.size(); ++i)
        EXPECT_EQ(finder.ScanAdapterType(c.types[i]), c.results[i]) << "type " << c.types[i];
    Strings entries;
    EXPECT_EQ(finder.FillPortEntries(&entries), static_cast<int>(c.entries.size()));
    EXPECT_EQ(entries, c.entries);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RealRegistryTypes,
    testing::Values(
        TypeScanCase{"Pl2303OnCom7AndFtdiOnCom12", {1, 4}, {true, true}, {"COM7 >>PL-2303", "COM12 >>FTSER2K"}},
        TypeScanCase{"DriverNotInstalled", {2}, {false}, {}},
        TypeScanCase{"Count21SkipsTheDriver", {3}, {false}, {}},
        // COM255 and COMA are passed over and the walk goes on to COM9.
        TypeScanCase{"Com255AndNonNumericNameAreSkipped", {5}, {true}, {"COM9 >>CP210x", "COM33 >>CP210x"}},
        TypeScanCase{"LaterScanTakesThePort", {5, 6}, {true, true}, {"COM9 >>CH341ASER", "COM33 >>CP210x"}},
        TypeScanCase{"OrderDecidesNotTheType", {6, 5}, {true, true}, {"COM9 >>CP210x", "COM33 >>CP210x"}}),
    [](const testing::TestParamInfo<TypeScanCase> &info) { return std::string(info.param.name); });

TEST_F(RealRegistry, ScanAdaptersOfTheRunningSystem)
{
    C_USBDevice finder; // the system registry, as the window uses it
    finder.ScanAdapters();
    Strings entries{"stale"};
    EXPECT_EQ(finder.FillPortEntries(&entries), 4);
    EXPECT_EQ(entries, (Strings{"COM7 >>PL-2303", "COM9 >>CH341ASER", "COM12 >>FTSER2K", "COM33 >>CP210x"}));
    EXPECT_EQ(PortNameOfEntry(entries[2]), "COM12");
}

TEST_F(RealRegistry, InstancesAreVisitedFromTheLast)
{
    C_USBDevice finder(registry);
    ASSERT_TRUE(finder.ScanAdapterType(5));
    EXPECT_EQ(finder.driverEnumKey, "SYSTEM\\CurrentControlSet\\Services\\silabser\\Enum");
    EXPECT_EQ(finder.lastPortName, "COM9"); // instance "0" comes last
}

TEST_F(RealRegistry, SerialCommListsTheValuesThatFitSevenCharacters)
{
    Strings list{"stale"};
    ASSERT_TRUE(ReadSerialPorts(&list));
    EXPECT_TRUE(Contains(list, "COM1234"));
    EXPECT_FALSE(Contains(list, "COM12345"));
    EXPECT_FALSE(Contains(list, "stale"));
    // The COM port the runner mapped to the virtual bus is listed like any other.
    if (const char *bus = std::getenv("LUMO_WIN_COM")) {
        EXPECT_TRUE(Contains(list, bus)) << bus;
    }
    EXPECT_FALSE(ReadSerialPorts(nullptr));
}

struct StringRead {
    const char *value;
    size_t area;
    bool ok;
    size_t length; // of the text read
};

class RealRegistryStrings : public RealRegistry, public testing::WithParamInterface<StringRead> {};

TEST_P(RealRegistryStrings, TextAndItsZeroMustFitTheArea)
{
    const StringRead &c = GetParam();
    std::string out = "unchanged";
    EXPECT_EQ(registry.ReadString(kTestKey, c.value, out, c.area), c.ok);
    if (c.ok) {
        EXPECT_EQ(out.size(), c.length);
    } else {
        EXPECT_EQ(out, "unchanged");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RealRegistryStrings,
    testing::Values(StringRead{"Text199", 200, true, 199}, StringRead{"Text200", 200, false, 0},
                    StringRead{"Text200", 201, true, 200}, StringRead{"Empty", 1, true, 0},
                    StringRead{"Expand", 8, true, 4}, StringRead{"Number", 200, false, 0},
                    StringRead{"Missing", 200, false, 0}),
    [](const testing::TestParamInfo<StringRead> &info) {
        return std::string(info.param.value) + "_in_" + std::to_string(info.param.area);
    });

TEST_F(RealRegistry, NumbersKeysAndValueNames)
{
    uint32_t number = 0;
    EXPECT_TRUE(registry.ReadDword(kTestKey, "Number", number));
    EXPECT_EQ(number, 21u);
    EXPECT_FALSE(registry.ReadDword(kTestKey, "Text199", number)); // a string is no number
    EXPECT_FALSE(registry.ReadDword(kTestKey, "Missing", number));
    EXPECT_EQ(number, 21u);

    EXPECT_TRUE(registry.KeyExists(kTestKey));
    EXPECT_TRUE(registry.KeyExists("system\\currentcontrolset\\services\\ser2pl\\enum")); // any case
    EXPECT_FALSE(registry.KeyExists("SYSTEM\\CurrentControlSet\\Services\\silabenm\\Enum"));
    std::string text;
    EXPECT_FALSE(registry.ReadString("SOFTWARE\\LumoNoSuchKey", "Text199", text, 200));

    Strings names;
    ASSERT_TRUE(registry.ListValueNames(kTestKey, names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (Strings{"Empty", "Expand", "Number", "Text199", "Text200"}));
    EXPECT_FALSE(registry.ListValueNames("SOFTWARE\\LumoNoSuchKey", names));
    EXPECT_TRUE(names.empty());

    std::vector<std::string> serialComm;
    ASSERT_TRUE(registry.ListValueNames(kSerialComm, serialComm));
    EXPECT_TRUE(Contains(serialComm, "\\Device\\LumoEight"));
}

} // namespace
