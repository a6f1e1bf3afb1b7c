// One virtual actuator on its own, with the time passed in: register map,
// exception codes, motion, learning and address change, without a line or
// a clock in between.

#include <gtest/gtest.h>

#include "Actuator.h"
#include "PtyPair.h"
#include "SimClient.h"
#include "modbus/Registers.h"

using lumosim::Actuator;
using lumosim::DeviceOptions;
using lumosim::MotionTiming;

namespace {

DeviceOptions Device(uint8_t address = 5, uint16_t model = Model::LumoP)
{
    DeviceOptions d;
    d.address = address;
    d.model = model;
    return d;
}

// The PDU of a request frame (no address, no CRC).
Bytes Pdu(const Bytes &request) { return Bytes(request.begin() + 1, request.end()); }

struct ActuatorTest : ::testing::Test {
    Actuator device{Device(), 0x5A05, MotionTiming{5000, 3000}};

    // The reply PDU, or {} for none.
    Bytes Ask(const Bytes &request, double atMs = 0, bool broadcast = false)
    {
        const Bytes pdu = Pdu(request);
        auto reply = device.Handle(pdu.data(), pdu.size(), atMs, broadcast);
        return reply ? *reply : Bytes{};
    }
    void Command(uint16_t command, double atMs) { Ask(Request(5, 0x06, Reg::ActionCmdIn, command), atMs); }
    uint16_t Pos(double atMs) { return device.Holding(Reg::CurrentPos, atMs); }
    uint16_t State(double atMs) { return device.Input(Reg::MotorStatus, atMs); }
    uint16_t Flags(double atMs) { return device.Input(Reg::MotorStatus + 1, atMs); }
};

TEST_F(ActuatorTest, StartsWithTheDefaultsOfTheRegisterMap)
{
    struct { uint16_t reg; uint16_t value; } holding[] = {
        {Reg::Address, 5},         {Reg::Name, 0x5A05},      {Reg::CurrentPos, 500},
        {Reg::MaxPos, 1000},       {Reg::RearLimit, 0},      {Reg::FrontLimit, 1000},
        {Reg::CurrentLimit, 5000}, {Reg::SpeedPwm, 100},     {Reg::SettingFlag, 3},
        {Reg::VoltageOut, 4095},   {Reg::HallPotSelect, 0},  {Reg::BaudRate, 0},
    };
    for (auto [reg, value] : holding)
        EXPECT_EQ(device.Holding(reg, 0), value) << "register 0x" << std::hex << reg;
    EXPECT_EQ(device.Input(Reg::MotorStatus, 0), Motion::Stopped);
    EXPECT_EQ(device.Input(Reg::MotorStatus + 1, 0), 0);
    EXPECT_EQ(device.Input(Reg::MotorCurrent, 0), 0);
    EXPECT_EQ(device.Input(Reg::FwVersion, 0), 0x0102);
    EXPECT_EQ(device.Input(Reg::Model, 0), Model::LumoP);
}

TEST_F(ActuatorTest, AnswersReadsAndWritesWithTheFramesOfAModbusSlave)
{
    // read CurrentPos: function, byte count 2, 500 = 0x01F4
    EXPECT_EQ(Ask(Request(5, 0x03, 0x001F, 1)), (Bytes{0x03, 0x02, 0x01, 0xF4}));
    // read FwVersion and Model: 0x0102, 1
    EXPECT_EQ(Ask(Request(5, 0x04, 0x0045, 2)), (Bytes{0x04, 0x04, 0x01, 0x02, 0x00, 0x01}));
    // the reserved input words read 0
    EXPECT_EQ(Ask(Request(5, 0x04, 0x0042, 3)), (Bytes{0x04, 0x06, 0, 0, 0, 0, 0, 0}));
    // a single write is echoed as it came
    EXPECT_EQ(Ask(Request(5, 0x06, 0x0024, 55)), (Bytes{0x06, 0x00, 0x24, 0x00, 0x37}));
    EXPECT_EQ(device.Holding(Reg::SpeedPwm, 0), 55);
    // a multiple write is answered with its first register and count
    EXPECT_EQ(Ask(WriteMultiple(5, 0x0021, {100, 900})), (Bytes{0x10, 0x00, 0x21, 0x00, 0x02}));
    EXPECT_EQ(device.Holding(Reg::RearLimit, 0), 100);
    EXPECT_EQ(device.Holding(Reg::FrontLimit, 0), 900);
    // the whole block of the Control page: 14 registers, 28 bytes
    EXPECT_EQ(Ask(Request(5, 0x03, Reg::BlockStart, Reg::BlockCount)).size(), 2u + 28u);
}

TEST_F(ActuatorTest, RefusesWithTheExceptionCodesOfARealSlave)
{
    struct Case { const char *what; Bytes request; Bytes reply; } cases[] = {
        {"unsupported function 0x01", Request(5, 0x01, 0x000F, 1), {0x81, 0x01}},
        {"unsupported function 0x05", Request(5, 0x05, 0x000F, 0xFF00), {0x85, 0x01}},
        {"holding register outside the map", Request(5, 0x03, 0x2000, 1), {0x83, 0x02}},
        {"holding read running past 0x002C", Request(5, 0x03, 0x002C, 2), {0x83, 0x02}},
        {"holding read of an input register", Request(5, 0x03, 0x003F, 1), {0x83, 0x02}},
        {"input read of a holding register", Request(5, 0x04, 0x0021, 1), {0x84, 0x02}},
        {"read of 0 registers", Request(5, 0x03, 0x001F, 0), {0x83, 0x03}},
        {"read of 126 registers", Request(5, 0x03, 0x000F, 126), {0x83, 0x03}},
        {"write of an input register", Request(5, 0x06, 0x003F, 1), {0x86, 0x02}},
        {"write outside the map", Request(5, 0x06, 0x2000, 1), {0x86, 0x02}},
        {"command 0", Request(5, 0x06, Reg::ActionCmdIn, 0), {0x86, 0x03}},
        {"command 6", Request(5, 0x06, Reg::ActionCmdIn, 6), {0x86, 0x03}},
        {"address 0", Request(5, 0x06, Reg::Address, 0), {0x86, 0x03}},
        {"address 248", Request(5, 0x06, Reg::Address, 248), {0x86, 0x03}},
        {"0x10 byte count not twice the count", Bytes{5, 0x10, 0x00, 0x21, 0x00, 0x02, 0x03, 0, 1, 0},
         {0x90, 0x03}},
        {"0x10 with a bad command among good values", WriteMultiple(5, 0x0024, {50, 9}), {0x90, 0x03}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Ask(c.request), c.reply) << c.what;
    // the refused multiple write changed nothing, not even the good value before the bad one
    EXPECT_EQ(device.Holding(Reg::SpeedPwm, 0), 100);
    EXPECT_EQ(device.Address(), 5);
}

TEST_F(ActuatorTest, ActsOnABroadcastWithoutAnswering)
{
    EXPECT_EQ(Ask(Request(0, 0x06, Reg::SpeedPwm, 40), 0, true), Bytes{});
    EXPECT_EQ(device.Holding(Reg::SpeedPwm, 0), 40);
    EXPECT_EQ(Ask(WriteMultiple(0, Reg::HallPotSelect, {1, 2}), 0, true), Bytes{});
    EXPECT_EQ(device.Holding(Reg::BaudRate, 0), 2);
    // no answer even for what it refuses, and none for a read
    EXPECT_EQ(Ask(Request(0, 0x06, Reg::ActionCmdIn, 9), 0, true), Bytes{});
    EXPECT_EQ(Ask(Request(0, 0x03, Reg::CurrentPos, 1), 0, true), Bytes{});
    EXPECT_EQ(Ask(Request(0, 0x01, 0, 1), 0, true), Bytes{});
}

TEST_F(ActuatorTest, MovesUpAtTheSpeedOfSpeedPwmAndStopsAtTheFrontLimit)
{
    Command(Cmd::Up, 0);
    // 1000 steps in 5000 ms at 100 %: 0.2 steps per ms
    EXPECT_EQ(State(1000), Motion::MovingUp);
    EXPECT_EQ(Pos(1000), 700);
    EXPECT_EQ(device.Input(Reg::MotorCurrent, 1000), 1400);
    EXPECT_EQ(Pos(2499), 1000); // 999.8, shown rounded
    EXPECT_EQ(State(2600), Motion::Stopped);
    EXPECT_EQ(Pos(5000), 1000);
    EXPECT_EQ(device.Input(Reg::MotorCurrent, 5000), 0);
    EXPECT_EQ(Flags(5000) & Flag::PositionOk, 0) << "only a go-to reports its position reached";
}

TEST_F(ActuatorTest, HalfTheSpeedPwmHalvesTheSpeed)
{
    device.SetHolding(Reg::SpeedPwm, 50, 0);
    Command(Cmd::Up, 0);
    EXPECT_EQ(Pos(1000), 600);
    EXPECT_EQ(device.Input(Reg::MotorCurrent, 1000), 900);
    // changed on the way: the rest goes at the new speed
    device.SetHolding(Reg::SpeedPwm, 100, 1000);
    EXPECT_EQ(Pos(2000), 800);
}

TEST_F(ActuatorTest, MovesDownToTheRearLimitAndStopsOnCommand)
{
    device.SetHolding(Reg::RearLimit, 100, 0);
    Command(Cmd::Down, 0);
    EXPECT_EQ(State(500), Motion::MovingDown);
    EXPECT_EQ(Pos(500), 400);
    EXPECT_EQ(Pos(3000), 100);
    EXPECT_EQ(State(3000), Motion::Stopped);

    Command(Cmd::Up, 3000);
    Command(Cmd::Stop, 3500);
    EXPECT_EQ(State(3500), Motion::Stopped);
    EXPECT_EQ(Pos(9000), 200);
}

TEST_F(ActuatorTest, StopsWhereItIsWhenALimitIsMovedPastIt)
{
    Command(Cmd::Up, 0);
    EXPECT_EQ(Pos(500), 600);
    device.SetHolding(Reg::FrontLimit, 550, 500);
    EXPECT_EQ(State(501), Motion::Stopped);
    EXPECT_EQ(Pos(2000), 600) << "up never runs back down";
}

TEST_F(ActuatorTest, GoesToGoToPosAndReportsPositionOk)
{
    device.SetHolding(Reg::GoToPos, 300, 0);
    Command(Cmd::GoToPos, 0);
    EXPECT_EQ(State(500), Motion::MovingDown);
    EXPECT_EQ(Flags(500) & Flag::PositionOk, 0);
    EXPECT_EQ(Pos(500), 400);
    EXPECT_EQ(State(1001), Motion::Stopped);
    EXPECT_EQ(Pos(1001), 300);
    EXPECT_EQ(Flags(1001), Flag::PositionOk);
    // a new motion takes the flag away
    Command(Cmd::Up, 1100);
    EXPECT_EQ(Flags(1101), 0);
}

TEST_F(ActuatorTest, GoToStaysInsideTheLimits)
{
    device.SetHolding(Reg::FrontLimit, 800, 0);
    device.SetHolding(Reg::GoToPos, 950, 0);
    Command(Cmd::GoToPos, 0);
    EXPECT_EQ(State(100), Motion::MovingUp);
    EXPECT_EQ(Pos(5000), 800);
    EXPECT_EQ(Flags(5000), Flag::PositionOk);
}

TEST_F(ActuatorTest, GoToWhereItStandsIsReachedAtOnce)
{
    device.SetHolding(Reg::GoToPos, 500, 0);
    Command(Cmd::GoToPos, 0);
    EXPECT_EQ(State(0), Motion::Stopped);
    EXPECT_EQ(Flags(0), Flag::PositionOk);
}

TEST_F(ActuatorTest, LearnsItsStrokeWithTheLearningFlagUpForTheLearnTime)
{
    device.SetHolding(Reg::MaxPos, 2000, 0);
    device.SetHolding(Reg::FrontLimit, 1500, 0);
    Command(Cmd::Learn, 0);
    // 500 steps back to 0, then 980 out, in 3000 ms together
    EXPECT_EQ(Flags(10), Flag::Learning);
    EXPECT_EQ(State(10), Motion::MovingDown);
    EXPECT_NE(device.Input(Reg::MotorCurrent, 10), 0);
    EXPECT_EQ(State(1100), Motion::MovingUp);
    EXPECT_EQ(Flags(2990), Flag::Learning);
    EXPECT_EQ(device.Holding(Reg::MaxPos, 2990), 2000) << "stored only at the end";
    EXPECT_EQ(Flags(3010), 0);
    EXPECT_EQ(State(3010), Motion::Stopped);
    EXPECT_EQ(device.Holding(Reg::MaxPos, 3010), 980);
    EXPECT_EQ(device.Holding(Reg::RearLimit, 3010), 0);
    EXPECT_EQ(device.Holding(Reg::FrontLimit, 3010), 980);
    EXPECT_EQ(Pos(3010), 980);
}

TEST_F(ActuatorTest, AStopEndsLearningWithoutStoringAStroke)
{
    Command(Cmd::Learn, 0);
    Command(Cmd::Stop, 1500);
    EXPECT_EQ(Flags(1500), 0);
    EXPECT_EQ(State(1500), Motion::Stopped);
    EXPECT_EQ(device.Holding(Reg::MaxPos, 9000), 1000);
}

TEST_F(ActuatorTest, TakesItsNewAddressAfterEchoingTheChange)
{
    EXPECT_EQ(Ask(Request(5, 0x06, Reg::Address, 9)), (Bytes{0x06, 0x00, 0x0F, 0x00, 0x09}));
    EXPECT_EQ(device.Address(), 9);
    EXPECT_EQ(device.Holding(Reg::Address, 0), 9);
}

TEST_F(ActuatorTest, FaultsShowInTheFlagsAndAsTheChosenException)
{
    lumosim::Faults faults;
    faults.hallError = true;
    faults.overCurrent = true;
    faults.exceptionRegister = Reg::SpeedPwm;
    device.SetFaults(faults);
    EXPECT_EQ(Flags(0), Flag::HallError | Flag::OverCurrent);
    EXPECT_EQ(Ask(Request(5, 0x03, Reg::SpeedPwm, 1)), (Bytes{0x83, 0x04}));
    EXPECT_EQ(Ask(Request(5, 0x03, Reg::BlockStart, Reg::BlockCount)), (Bytes{0x83, 0x04}));
    EXPECT_EQ(Ask(Request(5, 0x06, Reg::SpeedPwm, 20)), (Bytes{0x86, 0x04}));
    EXPECT_EQ(Ask(Request(5, 0x03, Reg::CurrentLimit, 1)), (Bytes{0x03, 0x02, 0x13, 0x88}));
    faults.exceptionCode = 0x06;
    device.SetFaults(faults);
    EXPECT_EQ(Ask(WriteMultiple(5, Reg::CurrentLimit, {4000, 20})), (Bytes{0x90, 0x06}));
    EXPECT_EQ(device.Holding(Reg::SpeedPwm, 0), 100);
}

TEST_F(ActuatorTest, RestingValuesOfTheInputRegistersCanBeSet)
{
    device.SetInput(Reg::MotorStatus + 1, 0x0010, 0);
    device.SetInput(Reg::MotorCurrent, 77, 0);
    EXPECT_EQ(Flags(0), 0x0010);
    EXPECT_EQ(device.Input(Reg::MotorCurrent, 0), 77);
    Command(Cmd::GoToPos, 0); // GoToPos 0: down to the rear limit
    EXPECT_EQ(Flags(100), 0x0010);
    EXPECT_EQ(device.Input(Reg::MotorCurrent, 100), 1400) << "the live current while moving";
}

} // namespace
