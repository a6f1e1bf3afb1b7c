// mbpoll, Debian's stock Modbus master, against the bus over its
// pseudo-terminal: the session a technician would type, checked line by line.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "VirtualBus.h"
#include "modbus/Registers.h"

using lumosim::DeviceOptions;
using lumosim::VirtualBus;

namespace {

struct MbpollTest : ::testing::Test {
    void SetUp() override
    {
        if (!OnPath("mbpoll"))
            GTEST_SKIP() << "mbpoll is not installed (Debian package mbpoll); the libmodbus tests cover the same ground";
        for (auto [address, model] : {std::pair{1, Model::LumoD}, {5, Model::LumoP}, {9, Model::LumoB}}) {
            DeviceOptions d;
            d.address = static_cast<uint8_t>(address);
            d.model = static_cast<uint16_t>(model);
            bus.AddDevice(d);
        }
        ASSERT_TRUE(bus.Start());
    }

    // mbpoll -m rtu -b 115200 -P none -0 -1 -o 0.5 -a ADDR ARGS... DEVICE [VALUE]; stdout and stderr together.
    int Mbpoll(int address, const std::vector<std::string> &args, std::string &output,
               const std::string &value = {})
    {
        std::vector<std::string> argv{"mbpoll", "-m", "rtu", "-b", "115200", "-P", "none", "-0", "-1",
                                      "-o", "0.5", "-a", std::to_string(address)};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(bus.DevicePath());
        if (!value.empty())
            argv.push_back(value);
        std::string out, err;
        const int status = RunToEnd(argv, &out, &err);
        output = out + err;
        return status;
    }

    VirtualBus bus;
};

TEST_F(MbpollTest, ReadsHoldingRegisters)
{
    std::string out;
    EXPECT_EQ(Mbpoll(5, {"-r", "31", "-c", "4"}, out), 0) << out;
    EXPECT_NE(out.find("[31]: \t500\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[32]: \t1000\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[33]: \t0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[34]: \t1000\n"), std::string::npos) << out;
}

TEST_F(MbpollTest, ReadsInputRegisters)
{
    std::string out;
    EXPECT_EQ(Mbpoll(9, {"-t", "3", "-r", "69", "-c", "2"}, out), 0) << out;
    EXPECT_NE(out.find("[69]: \t258\n"), std::string::npos) << out; // firmware 0x0102
    EXPECT_NE(out.find("[70]: \t2\n"), std::string::npos) << out;   // LUMO-B
}

TEST_F(MbpollTest, WritesARegister)
{
    std::string out;
    EXPECT_EQ(Mbpoll(1, {"-r", "36"}, out, "55"), 0) << out;
    EXPECT_NE(out.find("Written 1 references."), std::string::npos) << out;
    EXPECT_EQ(bus.Holding(1, Reg::SpeedPwm), 55);
}

TEST_F(MbpollTest, ReportsTheExceptionsAndTheSilenceOfARealBus)
{
    std::string out;
    EXPECT_NE(Mbpoll(5, {"-r", "0x2000"}, out), 0);
    EXPECT_NE(out.find("Illegal data address"), std::string::npos) << out;
    EXPECT_NE(Mbpoll(5, {"-r", "37"}, out, "9"), 0);
    EXPECT_NE(out.find("Illegal data value"), std::string::npos) << out;
    EXPECT_NE(Mbpoll(7, {"-r", "31"}, out), 0);
    EXPECT_NE(out.find("Connection timed out"), std::string::npos) << out;
}

} // namespace
