// The Win32 serial port and the RTU engine on it, against the virtual bus:
// scripts/windows-tests.sh runs lumo-sim natively on its pseudo-terminal,
// registers that terminal as a COM port of Wine and names the port in
// LUMO_WIN_COM (for example COM17). The bus carries these devices:
//
//   address 1  LUMO-P, healthy
//   address 2  silent
//   address 3  every reply with a wrong CRC
//   address 4  any request touching SpeedPwm (0x0024) gets exception 0x04
//   address 5  a stray 0xFF in front of every reply
//
// A second bus with one healthy device at address 1 sits on the port named
// in LUMO_WIN_UNPLUG_COM; the runner stops it (as if its adapter were pulled
// out) once the file LUMO_WIN_UNPLUG_FILE appears.
//
// Wine lets a second exclusive open succeed and reads back another RTS
// setting than the one applied; neither is asserted here.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "FakeClock.h"
#include "modbus/Frames.h"
#include "modbus/Registers.h"
#include "modbus/RtuEngine.h"
#include "serial/ComPort.h"

namespace {

constexpr uint8_t kHealthy = 1;
constexpr uint8_t kSilent = 2;
constexpr uint8_t kCorrupt = 3;
constexpr uint8_t kException = 4;
constexpr uint8_t kStray = 5;

using Bytes = std::vector<uint8_t>;

std::string BusPort()
{
    const char *name = std::getenv("LUMO_WIN_COM");
    return name != nullptr ? name : "";
}

// Bytes waiting in the port's input queue, as the driver counts them.
DWORD Queued(const C_ComPort &port)
{
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(port.handle, &errors, &status))
        return 0;
    return status.cbInQue;
}

// Waits until at least `count` bytes are queued; false after `timeoutMs`.
bool WaitQueued(const C_ComPort &port, DWORD count, DWORD timeoutMs = 2000)
{
    const DWORD start = GetTickCount();
    while (Queued(port) < count) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(1);
    }
    return true;
}

// A read request frame (function 0x03 or 0x04) with its CRC.
Bytes ReadRequest(uint8_t address, uint8_t function, uint16_t start, uint16_t count)
{
    Bytes frame(8);
    frame[0] = address;
    frame[1] = function;
    Rtu::PutU16(&frame[2], start);
    Rtu::PutU16(&frame[4], count);
    Rtu::AppendCrc(frame.data(), 6);
    return frame;
}

class BusPortTest : public testing::Test {
protected:
    void SetUp() override
    {
        name = BusPort();
        if (name.empty())
            GTEST_SKIP() << "LUMO_WIN_COM names no COM port mapped to the virtual bus";
    }
    std::string name;
};

// --- The port -------------------------------------------------------------

class WinComPort : public BusPortTest {
protected:
    void Open(int32_t baud = 115200, int32_t queue = 2048)
    {
        ASSERT_TRUE(port.Open(name, baud, queue)) << "openStep " << port.openStep << ", error " << port.lastError;
    }
    // Asks the healthy device for `registers` holding registers and waits
    // until its whole reply (5 + 2 * registers bytes) is queued.
    void QueueReply(uint16_t registers, DWORD alreadyQueued = 0)
    {
        const Bytes request = ReadRequest(kHealthy, Fc::ReadHolding, Reg::FirstHolding, registers);
        ASSERT_TRUE(port.Write(request.data(), request.size()));
        ASSERT_TRUE(WaitQueued(port, alreadyQueued + 5u + 2u * registers));
    }

    RecordingClock clock;
    C_ComPort port{clock};
};

class WinComPortBauds : public WinComPort, public testing::WithParamInterface<int32_t> {};

TEST_P(WinComPortBauds, OpenAppliesLineSettingsAndTimeouts)
{
    Open(GetParam());
    EXPECT_EQ(port.openStep, 6);
    EXPECT_EQ(port.lastError, 0u);
    EXPECT_EQ(port.QueueSize(), 2048);

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port.handle, &dcb));
    EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(GetParam()));
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_TRUE(dcb.fBinary);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_FALSE(dcb.fOutxDsrFlow);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));

    // Reads return at once with what is queued; a write of n bytes may take
    // n ms + 200 ms.
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(port.handle, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 200u);

    ASSERT_TRUE(port.SetTimeouts(350));
    ASSERT_TRUE(GetCommTimeouts(port.handle, &t));
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 350u);
}

// The rate changes on the open handle: the same connection, DTR still
// enabled, and back at 115200 the device still answers. An unsupported
// rate is refused and leaves the port as it was.
TEST_P(WinComPortBauds, SetBaudRateChangesTheOpenPort)
{
    Open(115200);
    const uint64_t connection = port.ConnectionId();
    const ComHandle handle = port.handle;
    ASSERT_TRUE(port.SetBaudRate(GetParam())) << port.lastError;

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port.handle, &dcb));
    EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(GetParam()));
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(port.handle, handle);
    EXPECT_EQ(port.ConnectionId(), connection);

    EXPECT_FALSE(port.SetBaudRate(12345));
    EXPECT_EQ(port.lastError, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(port.IsOpen());
    ASSERT_TRUE(GetCommState(port.handle, &dcb));
    EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(GetParam()));

    ASSERT_TRUE(port.SetBaudRate(115200));
    QueueReply(1);
}

INSTANTIATE_TEST_SUITE_P(Bauds, WinComPortBauds, testing::Values(115200, 19200, 9600, 4800));

TEST_F(WinComPort, QueueSizeZeroOrNegativeMeansDefault)
{
    for (int32_t queue : {0, -5}) {
        Open(115200, queue);
        EXPECT_EQ(port.QueueSize(), 12288);
    }
    // Opening again on an open object closes the old handle first.
    Open(115200, 2048);
    EXPECT_EQ(port.QueueSize(), 2048);
    EXPECT_EQ(port.openStep, 6);
}

struct OpenFailure {
    const char *what;
    std::string name; // empty: the bus port
    int32_t baud;
    int32_t step;
    DWORD error;
};

class WinComPortOpenFailures : public WinComPort, public testing::WithParamInterface<OpenFailure> {};

TEST_P(WinComPortOpenFailures, StopAtTheFailedStepAndStayClosed)
{
    const OpenFailure &c = GetParam();
    EXPECT_FALSE(port.Open(c.name.empty() ? name : c.name, c.baud, 0));
    EXPECT_EQ(port.openStep, c.step);
    EXPECT_EQ(port.lastError, c.error);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.handle, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(port.SetTimeouts(200)); // closed means closed
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WinComPortOpenFailures,
    testing::Values(OpenFailure{"missing_port", "COM250", 115200, 2, ERROR_FILE_NOT_FOUND},
                    // Longer than the 11 characters that "\\.\" leaves in 16 bytes.
                    OpenFailure{"name_of_12_characters", "COM123456789", 115200, 2, ERROR_FILE_NOT_FOUND},
                    OpenFailure{"name_of_40_characters", "COM" + std::string(37, '7'), 115200, 2,
                                ERROR_FILE_NOT_FOUND},
                    OpenFailure{"unsupported_baud", "", 12345, 4, ERROR_INVALID_PARAMETER}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(WinComPort, ClosedPortCallsNothing)
{
    uint8_t byte = 0x55;
    EXPECT_FALSE(port.Read(&byte, 1));
    EXPECT_FALSE(port.Write(&byte, 1));
    EXPECT_FALSE(port.ApplyLineSettings(115200));
    EXPECT_FALSE(port.SetTimeouts(200));
    port.DrainInput();
    port.Close();
    EXPECT_EQ(port.lastError, 0u);
    EXPECT_TRUE(clock.sleeps.empty());
    EXPECT_EQ(byte, 0x55);
}

TEST_F(WinComPort, ReadTakesTheCountOrWaitsOutItsBudget)
{
    Open();
    QueueReply(1); // 7 bytes
    uint8_t buffer[8] = {};
    EXPECT_TRUE(port.Read(buffer, 5));
    EXPECT_EQ(buffer[0], kHealthy);
    EXPECT_EQ(buffer[1], Fc::ReadHolding);
    EXPECT_EQ(Queued(port), 2u);
    EXPECT_TRUE(clock.sleeps.empty()); // the bytes were there at the first look
    // 2 waiting, 5 asked and nothing more comes: the rest of the reply may
    // still be on its way, so the read waits out its ten looks, 10 ms
    // apart, and fails with the 2 bytes consumed.
    EXPECT_FALSE(port.Read(buffer, 5));
    EXPECT_EQ(Queued(port), 0u);
    EXPECT_EQ(clock.sleeps, std::vector<uint32_t>(10, 10));

    // Nothing comes at all: ten looks as well.
    clock.sleeps.clear();
    EXPECT_FALSE(port.Read(buffer, 1));
    EXPECT_EQ(clock.sleeps, std::vector<uint32_t>(10, 10));
}

TEST_F(WinComPort, DrainInputDiscardsAtMostFortyBytes)
{
    Open();
    QueueReply(10); // 25 bytes: reads of 20 and 5
    port.DrainInput();
    EXPECT_EQ(Queued(port), 0u);

    QueueReply(10);
    QueueReply(10, 25); // 50 bytes
    port.DrainInput();
    EXPECT_EQ(Queued(port), 10u);
}

// --- The engine on the port -------------------------------------------------

class WinEngine : public BusPortTest {
protected:
    void SetUp() override
    {
        BusPortTest::SetUp();
        if (IsSkipped())
            return;
        comPort = std::make_unique<C_ComPort>();
        ASSERT_TRUE(comPort->Open(name, 115200, 2048)) << comPort->lastError;
        ASSERT_TRUE(comPort->SetTimeouts(200));
    }
    std::unique_ptr<C_ComPort> comPort;
    uint32_t responseDelayMs = 30; // as at 115200
    RtuEngine engine{comPort, responseDelayMs};
};

struct Transaction {
    const char *what;
    uint8_t address;
    uint8_t function;
    uint16_t start;
    bool skipToAddress;
    ResultCode expected;
    uint8_t exceptionCode = 0;
};

class WinEngineTransactions : public WinEngine, public testing::WithParamInterface<Transaction> {};

TEST_P(WinEngineTransactions, EachOutcomeHasItsCode)
{
    const Transaction &c = GetParam();
    const uint8_t pdu[] = {c.function, static_cast<uint8_t>(c.start >> 8), static_cast<uint8_t>(c.start & 0xFF),
                           0x00, 0x01};
    ASSERT_EQ(engine.SendRequest(c.address, pdu, sizeof pdu), Result::NoError);
    engine.WaitForReply(responseDelayMs);
    uint8_t out[20] = {};
    int32_t length = -1;
    EXPECT_EQ(engine.ReceiveResponse(c.address, out, sizeof out, length, c.skipToAddress), c.expected);
    if (c.expected == Result::NoError) {
        EXPECT_EQ(length, 2);
    }
    if (c.expected == Result::ExceptionReply) {
        EXPECT_EQ(length, 1);
        EXPECT_EQ(out[0], c.exceptionCode);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WinEngineTransactions,
    testing::Values(
        Transaction{"healthy", kHealthy, Fc::ReadHolding, Reg::Name, false, Result::NoError},
        Transaction{"silent_searching", kSilent, Fc::ReadHolding, Reg::Name, true, Result::ReadDataWait},
        Transaction{"silent_strict", kSilent, Fc::ReadHolding, Reg::Name, false, Result::ReadError},
        Transaction{"bad_crc", kCorrupt, Fc::ReadHolding, Reg::Name, true, Result::ChecksumError},
        Transaction{"exception_reply", kException, Fc::ReadHolding, Reg::SpeedPwm, true, Result::ExceptionReply,
                    0x04},
        Transaction{"stray_byte_searching", kStray, Fc::ReadInput, Reg::Model, true, Result::NoError},
        Transaction{"stray_byte_strict", kStray, Fc::ReadInput, Reg::Model, false, Result::ReadHeadError}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(WinEngine, RegisterReadsAndWritesReachTheDevice)
{
    uint16_t model = 0xFFFF;
    ASSERT_EQ(engine.ReadRegisters(Fc::ReadInput, kHealthy, Reg::Model, 1, &model), Result::NoError);
    EXPECT_EQ(model, Model::LumoP);

    const uint16_t limits[] = {120, 860};
    ASSERT_EQ(engine.WriteRegisters(Fc::WriteMultiple, kHealthy, Reg::RearLimit, 2, limits), Result::NoError);
    const uint16_t speed = 65;
    ASSERT_EQ(engine.WriteRegisters(Fc::WriteSingle, kHealthy, Reg::SpeedPwm, 1, &speed), Result::NoError);

    uint16_t back[4] = {};
    ASSERT_EQ(engine.ReadRegisters(Fc::ReadHolding, kHealthy, Reg::RearLimit, 4, back), Result::NoError);
    EXPECT_EQ(back[0], 120);
    EXPECT_EQ(back[1], 860);
    EXPECT_EQ(back[3], 65);

    // The exception device refuses the write; the engine hands the code back.
    EXPECT_EQ(engine.WriteRegisters(Fc::WriteSingle, kException, Reg::SpeedPwm, 1, &speed),
              Result::ExceptionReply);
}

// --- Unplugging ------------------------------------------------------------

TEST(WinUnplug, VanishedLineIsAHangUpAndAPortError)
{
    const char *portName = std::getenv("LUMO_WIN_UNPLUG_COM");
    const char *trigger = std::getenv("LUMO_WIN_UNPLUG_FILE");
    if (portName == nullptr || trigger == nullptr)
        GTEST_SKIP() << "LUMO_WIN_UNPLUG_COM and LUMO_WIN_UNPLUG_FILE name a bus the runner can stop";
    std::unique_ptr<C_ComPort> comPort = std::make_unique<C_ComPort>();
    uint32_t responseDelayMs = 30;
    RtuEngine engine{comPort, responseDelayMs};
    ASSERT_TRUE(comPort->Open(portName, 115200, 2048)) << comPort->lastError;
    uint16_t model = 0xFFFF;
    ASSERT_EQ(engine.ReadRegisters(Fc::ReadInput, 1, Reg::Model, 1, &model), Result::NoError);
    EXPECT_FALSE(comPort->HungUp());

    const HANDLE file = CreateFileA(trigger, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(file);
    // Nothing tells a silent line from a vanished one but the port itself.
    const DWORD start = GetTickCount();
    while (!comPort->HungUp() && GetTickCount() - start < 5000)
        Sleep(10);
    ASSERT_TRUE(comPort->HungUp()) << "still not seen as gone after 5 s";

    // From now on every transaction is a port error, at once, so that the
    // window closes the port instead of retrying a bus that is not there.
    EXPECT_EQ(engine.ReadRegisters(Fc::ReadInput, 1, Reg::Model, 1, &model), Result::PortError);
    uint8_t byte = 0;
    const DWORD before = GetTickCount();
    EXPECT_FALSE(comPort->Read(&byte, 1));
    EXPECT_LT(GetTickCount() - before, 90u) << "a vanished line is not polled ten times";
    EXPECT_FALSE(comPort->Write(&byte, 1));
    comPort->Close();
    EXPECT_FALSE(comPort->HungUp());
}

} // namespace
