#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <chrono>

#include "FakeClock.h"
#include "PtyPair.h"
#include "serial/ComPort.h"

namespace {

int Queued(const C_ComPort &port)
{
    int n = 0;
    ioctl(port.handle, FIONREAD, &n);
    return n;
}

Bytes Filler(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i);
    return b;
}

class ComPortOnPty : public ::testing::Test {
protected:
    PtyPair pty;
    FakeClock clock;
    C_ComPort port{clock};

    void OpenPort() { ASSERT_TRUE(port.Open(pty.slavePath(), 115200, 2048)) << port.lastError; }
    // Bytes written on the master reach the slave's queue asynchronously.
    void QueueBytes(size_t n)
    {
        pty.Write(Filler(n));
        for (int i = 0; i < 200 && Queued(port) < static_cast<int>(n); ++i)
            usleep(1000);
        ASSERT_EQ(Queued(port), static_cast<int>(n));
    }
};

TEST_F(ComPortOnPty, OpenReachesLastStepWithRawLine)
{
    OpenPort();
    EXPECT_EQ(port.openStep, 6);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.QueueSize(), 2048);

    termios tio{};
    ASSERT_EQ(tcgetattr(port.handle, &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST_F(ComPortOnPty, QueueSizeZeroMeansDefault)
{
    ASSERT_TRUE(port.Open(pty.slavePath(), 9600, 0));
    EXPECT_EQ(port.QueueSize(), 12288);
}

TEST_F(ComPortOnPty, PendingInputIsFlushedByOpen)
{
    pty.Write(Filler(7));
    usleep(5000);
    OpenPort();
    EXPECT_EQ(Queued(port), 0);
}

struct OpenFailure {
    const char *what;
    std::string name;
    int32_t baud;
    int32_t step;
    uint32_t error;
};

class ComPortOpenFailures : public ::testing::TestWithParam<OpenFailure> {};

TEST_P(ComPortOpenFailures, StopAtTheFailedStepAndStayClosed)
{
    const OpenFailure &c = GetParam();
    FakeClock clock;
    C_ComPort port{clock};
    PtyPair pty;
    const std::string name = c.name.empty() ? pty.slavePath() : c.name;
    EXPECT_FALSE(port.Open(name, c.baud, 0));
    EXPECT_EQ(port.openStep, c.step);
    EXPECT_EQ(port.lastError, c.error);
    EXPECT_FALSE(port.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComPortOpenFailures,
    ::testing::Values(OpenFailure{"missing_device", "/dev/ttyNOSUCH0", 115200, 2, ENOENT},
                      // a bare name means /dev/<name>; /dev/null is no serial line
                      OpenFailure{"bare_name_not_a_tty", "null", 115200, 4, ENOTTY},
                      OpenFailure{"unsupported_baud", "", 12345, 4, EINVAL}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(ComPortOnPty, SecondOpenerOfTheSameDeviceIsRefused)
{
    OpenPort();
    C_ComPort other{clock};
    EXPECT_FALSE(other.Open(pty.slavePath(), 115200, 0));
    EXPECT_EQ(other.openStep, 2);
    EXPECT_EQ(other.lastError, static_cast<uint32_t>(EWOULDBLOCK));
    port.Close();
    EXPECT_TRUE(other.Open(pty.slavePath(), 115200, 0));
}

struct ReadCase {
    const char *what;
    size_t queued;
    size_t asked;
    bool ok;
    int left;
    size_t polls;  // sleeps of 10 ms taken
};

class ComPortReads : public ComPortOnPty, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ComPortReads, TheCountOrThePollingBudgetEndsARead)
{
    const ReadCase &c = GetParam();
    OpenPort();
    if (c.queued)
        QueueBytes(c.queued);
    uint8_t buffer[64] = {};
    EXPECT_EQ(port.Read(buffer, c.asked), c.ok);
    EXPECT_EQ(Queued(port), c.left);
    EXPECT_EQ(clock.sleeps.size(), c.polls);
    for (uint32_t s : clock.sleeps)
        EXPECT_EQ(s, 10u);
}

INSTANTIATE_TEST_SUITE_P(Cases, ComPortReads,
                         ::testing::Values(ReadCase{"short_delivery_waits_out_the_budget_and_is_consumed", 3, 5,
                                                    false, 0, 10},
                                           ReadCase{"longer_queue_keeps_rest", 8, 5, true, 3, 0},
                                           ReadCase{"exact", 5, 5, true, 0, 0},
                                           ReadCase{"silence_polls_ten_times", 0, 5, false, 0, 10}),
                         [](const auto &info) { return std::string(info.param.what); });

// A clock whose every pause lets the next piece of a reply reach the port,
// as a USB adapter hands a reply over chunk by chunk between two polls.
class PieceByPieceClock : public FakeClock {
public:
    PieceByPieceClock(PtyPair &pty, std::vector<Bytes> pieces) : pty_(pty), pieces_(std::move(pieces)) {}
    C_ComPort *port = nullptr;
    void SleepMs(uint32_t ms) override
    {
        FakeClock::SleepMs(ms);
        if (next_ >= pieces_.size())
            return;
        const Bytes &piece = pieces_[next_++];
        pty_.Write(piece);
        for (int i = 0; i < 200 && Queued(*port) < static_cast<int>(piece.size()); ++i)
            usleep(1000);
    }

private:
    PtyPair &pty_;
    std::vector<Bytes> pieces_;
    size_t next_ = 0;
};

struct PiecesCase {
    const char *what;
    std::vector<Bytes> pieces;  // what arrives after each empty poll (empty: nothing)
    bool ok;
    size_t received;
};

class ComPortPieces : public ::testing::TestWithParam<PiecesCase> {};

TEST_P(ComPortPieces, ReadCollectsTheCountFromSeveralDeliveries)
{
    const PiecesCase &c = GetParam();
    PtyPair pty;
    PieceByPieceClock clock(pty, c.pieces);
    C_ComPort port{clock};
    clock.port = &port;
    ASSERT_TRUE(port.Open(pty.slavePath(), 115200, 0));
    uint8_t buffer[8] = {};
    size_t received = 99;
    EXPECT_EQ(port.Read(buffer, 8, &received), c.ok);
    EXPECT_EQ(received, c.received);
    EXPECT_LE(clock.sleeps.size(), 10u) << "the budget is ten empty polls, however the bytes come";
    if (c.ok) {
        Bytes all;
        for (const Bytes &p : c.pieces)
            all.insert(all.end(), p.begin(), p.end());
        EXPECT_EQ(Bytes(buffer, buffer + 8), Bytes(all.begin(), all.begin() + 8));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComPortPieces,
    ::testing::Values(PiecesCase{"three_pieces", {{1, 2, 3}, {4, 5}, {6, 7, 8}}, true, 8},
                      PiecesCase{"pieces_after_quiet_polls", {{}, {1}, {}, {}, {2, 3, 4, 5, 6, 7}, {8, 9}}, true, 8},
                      PiecesCase{"last_piece_inside_the_budget",
                                 {{1, 2, 3}, {}, {}, {}, {}, {}, {}, {}, {}, {4, 5, 6, 7, 8}}, true, 8},
                      PiecesCase{"last_piece_after_the_budget",
                                 {{1, 2, 3}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {4, 5, 6, 7, 8}}, false, 3}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(ComPortOnPty, DrainDiscardsAtMostFortyBytes)
{
    OpenPort();
    QueueBytes(25);
    port.DrainInput();
    EXPECT_EQ(Queued(port), 0);
    QueueBytes(50);
    port.DrainInput();
    EXPECT_EQ(Queued(port), 10);
}

TEST_F(ComPortOnPty, WriteReachesTheFarSide)
{
    OpenPort();
    const Bytes frame{0x0A, 0x03, 0x00, 0x1F, 0x00, 0x01, 0xB4, 0xB7};
    EXPECT_TRUE(port.Write(frame.data(), frame.size()));
    EXPECT_EQ(pty.Read(), frame);
}

TEST_F(ComPortOnPty, WriteThatCannotFinishInTimeFails)
{
    OpenPort();
    // Nobody reads the master: fill the line until the kernel refuses more.
    FillLine(port.handle);
    clock.tickStep = 150;  // time runs while the write waits for room
    const Bytes frame(8, 0x55);
    EXPECT_FALSE(port.Write(frame.data(), frame.size()));
}

// The rate changes on the open port, as the far side sees it (a pty pair
// has one termios, so the master reads back what the tool set), without a
// new open: a reopen would drop DTR, which powers many RS-485 converters.
struct RateChange {
    const char *what;
    int32_t baud;
    bool ok;
    speed_t seen;       // what the far side reads afterwards
    uint32_t lastError;
};

class ComPortRateChange : public ComPortOnPty, public ::testing::WithParamInterface<RateChange> {};

TEST_P(ComPortRateChange, ChangesTheSpeedOnTheOpenPort)
{
    const RateChange &c = GetParam();
    ASSERT_TRUE(port.Open(pty.slavePath(), 19200, 0)) << port.lastError;
    const uint64_t connection = port.ConnectionId();
    const ComHandle handle = port.handle;

    EXPECT_EQ(port.SetBaudRate(c.baud), c.ok);
    EXPECT_EQ(port.lastError, c.lastError);
    termios far{};
    ASSERT_EQ(tcgetattr(pty.masterFd(), &far), 0);
    EXPECT_EQ(cfgetospeed(&far), c.seen);
    EXPECT_EQ(cfgetispeed(&far), c.seen);
    // Still the same open device, raw 8N1, and still held exclusively.
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.handle, handle);
    EXPECT_EQ(port.ConnectionId(), connection);
    EXPECT_EQ(far.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(far.c_lflag & (ICANON | ECHO | ISIG), 0u);
    C_ComPort other{clock};
    EXPECT_FALSE(other.Open(pty.slavePath(), 115200, 0));
    // Bytes still pass both ways.
    const Bytes frame = WithCrc({0x01, 0x03, 0x00, 0x1F, 0x00, 0x01});
    ASSERT_TRUE(port.Write(frame.data(), frame.size()));
    EXPECT_EQ(pty.Read(), frame);
}

INSTANTIATE_TEST_SUITE_P(Cases, ComPortRateChange,
                         ::testing::Values(RateChange{"down_to_4800", 4800, true, B4800, 0},
                                           RateChange{"up_to_115200", 115200, true, B115200, 0},
                                           RateChange{"to_9600", 9600, true, B9600, 0},
                                           // refused: the port stays open at the rate it had
                                           RateChange{"unsupported_rate", 12345, false, B19200, EINVAL}),
                         [](const auto &info) { return std::string(info.param.what); });

TEST(ComPortClosed, OperationsFailWithoutTouchingTheSystem)
{
    FakeClock clock;
    C_ComPort port{clock};
    uint8_t b[4] = {};
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.Read(b, 1));
    EXPECT_FALSE(port.Write(b, 1));
    EXPECT_FALSE(port.ApplyLineSettings(115200));
    EXPECT_FALSE(port.SetTimeouts(200));
    EXPECT_FALSE(port.SetBaudRate(9600));
    port.DrainInput();
    port.Close();
    EXPECT_TRUE(clock.sleeps.empty());
    EXPECT_EQ(port.lastError, 0u);
}

TEST_F(ComPortOnPty, VanishedFarSideFailsAtOnceInsteadOfHanging)
{
    OpenPort();
    EXPECT_FALSE(port.HungUp());
    pty.CloseMaster();
    uint8_t b[8] = {};
    EXPECT_FALSE(port.Read(b, 8));
    EXPECT_TRUE(clock.sleeps.empty()) << "a hung-up line must not be polled ten times";
    EXPECT_TRUE(port.HungUp());
    EXPECT_FALSE(port.Write(b, 8));
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}

} // namespace
