// The session checks can fail: each is run against a stand-in for the tool
// that breaks one rule on purpose, and against one that keeps it, on the
// virtual bus. A check that passes both is no check.
//
// The stand-ins are small masters over the bus's pseudo-terminal; the
// checks are the very functions the session runner calls.

#include <gtest/gtest.h>

#include <unistd.h>

#include "Invariants.h"
#include "SimClient.h"
#include "VirtualBus.h"
#include "modbus/Registers.h"

using namespace sessions;

namespace {

lumosim::DeviceOptions Device(uint8_t address, uint32_t replyDelayMs = 0)
{
    lumosim::DeviceOptions d;
    d.address = address;
    d.model = Model::LumoD;
    d.faults.replyDelayMs = replyDelayMs;
    return d;
}

struct FakeToolTest : ::testing::Test {
    void Start(std::vector<lumosim::DeviceOptions> devices, lumosim::BusOptions options = lumosim::InstantLine())
    {
        bus = std::make_unique<lumosim::VirtualBus>(options);
        for (const auto &d : devices)
            ASSERT_TRUE(bus->AddDevice(d));
        ASSERT_TRUE(bus->Start());
        line = std::make_unique<LineClient>(bus->DevicePath());
    }
    std::function<lumosim::BusTruth()> Truth() const
    {
        return [this] { return bus->Truth(); };
    }
    std::unique_ptr<lumosim::VirtualBus> bus;
    std::unique_ptr<LineClient> line;
};

// A stand-in's Esc: with the stop, or with the stop removed.
void FakeEsc(LineClient &line, uint8_t address, bool sendsStop)
{
    if (sendsStop)
        line.Transact(Request(address, Fc::WriteSingle, Reg::ActionCmdIn, Cmd::Stop));
}

} // namespace

struct EscTest : FakeToolTest, ::testing::WithParamInterface<bool> {};

TEST_P(EscTest, StopMeansStopCatchesAnEscWithoutItsStop)
{
    const bool sendsStop = GetParam();
    lumosim::BusOptions slow = lumosim::InstantLine();
    slow.fullStrokeMs = 20000; // far from its limit for the whole check
    Start({Device(1), Device(2)}, slow);
    line->Transact(Request(1, Fc::WriteSingle, Reg::ActionCmdIn, Cmd::Up));
    FakeEsc(*line, 1, sendsStop);
    const Breaks breaks = CheckAtRest(Truth(), {0, 1}, 1000, [](const auto &) { return false; }, "Esc");
    if (sendsStop) {
        EXPECT_TRUE(breaks.empty()) << breaks.front().detail;
    } else {
        ASSERT_EQ(breaks.size(), 1u);
        EXPECT_EQ(breaks[0].invariant, StopMeansStop);
        EXPECT_NE(breaks[0].detail.find("at 1 still moving"), std::string::npos) << breaks[0].detail;
    }
}

TEST_P(EscTest, NoMotionUnaskedCatchesAMoveOfAnotherDevice)
{
    const bool movesTheNamedDevice = GetParam();
    Start({Device(1), Device(2)});
    const lumosim::BusTruth before = bus->Truth();
    line->Transact(Request(movesTheNamedDevice ? 1 : 2, Fc::WriteSingle, Reg::ActionCmdIn, Cmd::Down));
    const auto broken = CheckMotionAsked(before, bus->Truth(), {1}, "down on device 1");
    EXPECT_EQ(broken.has_value(), !movesTheNamedDevice);
    if (broken) {
        EXPECT_EQ(broken->invariant, NoMotionUnasked);
    }
}

INSTANTIATE_TEST_SUITE_P(Tools, EscTest, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "Sound" : "Broken"; });

// A stand-in that reads the position from a device answering 60 ms late,
// giving up after 20 ms, then reads the current and waits long enough. Without
// the reply-matching check it takes the first frame that arrives, the late
// position, as the current.
struct ReplyMatchingTest : FakeToolTest, ::testing::WithParamInterface<bool> {};

namespace {

std::optional<uint16_t> FakeRead(LineClient &line, uint8_t address, uint8_t function, uint16_t reg, bool matches,
                                 int timeoutMs)
{
    line.Send(Request(address, function, reg, 1));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    Bytes heard;
    while (std::chrono::steady_clock::now() < deadline) {
        const Bytes more = line.Receive(5, 2);
        heard.insert(heard.end(), more.begin(), more.end());
        while (heard.size() >= 7) {
            const Bytes frame(heard.begin(), heard.begin() + 7);
            heard.erase(heard.begin(), heard.begin() + 7);
            // The sound stand-in holds the reply against its request.
            if (matches && (frame[0] != address || frame[1] != function || frame[2] != 2))
                continue;
            return static_cast<uint16_t>((frame[3] << 8) | frame[4]);
        }
    }
    return std::nullopt;
}

} // namespace

TEST_P(ReplyMatchingTest, ShownIsTrueCatchesAReplyTakenForTheNextRequest)
{
    const bool matches = GetParam();
    Start({Device(1, 60)});
    const uint64_t since = LastSeq(bus->Truth());
    EXPECT_FALSE(FakeRead(*line, 1, Fc::ReadHolding, Reg::CurrentPos, matches, 20)); // too late for it
    const std::optional<uint16_t> current = FakeRead(*line, 1, Fc::ReadInput, Reg::MotorCurrent, matches, 300);
    ASSERT_TRUE(current);
    const auto broken = CheckShownValue(bus->Truth(), 1, Fc::ReadInput, Reg::MotorCurrent, *current, since,
                                        "the current");
    EXPECT_EQ(broken.has_value(), !matches) << (broken ? broken->detail : "no break");
    if (broken) {
        EXPECT_EQ(broken->invariant, ShownIsTrue);
        EXPECT_NE(broken->detail.find("shows 500"), std::string::npos) << broken->detail;
    }
}

INSTANTIATE_TEST_SUITE_P(Tools, ReplyMatchingTest, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "Sound" : "Broken"; });

// A stand-in's configuration write, register by register, reported done;
// the broken one leaves out the last register.
struct ConfigWriteTest : FakeToolTest, ::testing::WithParamInterface<bool> {};

TEST_P(ConfigWriteTest, NoLostWriteCatchesAWriteDoneWithoutItsLastRegister)
{
    const bool writesAll = GetParam();
    Start({Device(3)});
    const std::vector<uint16_t> values = {900, 10, 880, 4000, 70};
    std::vector<uint16_t> old;
    for (size_t k = 0; k < values.size(); ++k)
        old.push_back(*ConfigWord(bus->Truth().devices[0], static_cast<uint16_t>(Reg::MaxPos + k)));
    const size_t sent = writesAll ? values.size() : values.size() - 1;
    for (size_t k = 0; k < sent; ++k)
        ASSERT_FALSE(
            line->Transact(Request(3, Fc::WriteSingle, static_cast<uint16_t>(Reg::MaxPos + k), values[k])).empty());
    const auto broken = CheckWritten(bus->Truth(), 3, Reg::MaxPos, values, old, true, "config write");
    EXPECT_EQ(broken.has_value(), !writesAll);
    if (broken) {
        EXPECT_EQ(broken->invariant, NoLostWrite);
    }
    // Reported as failed, the partial write is a break too; the old values are not.
    EXPECT_EQ(CheckWritten(bus->Truth(), 3, Reg::MaxPos, values, old, false, "config write").has_value(), !writesAll);
}

INSTANTIATE_TEST_SUITE_P(Tools, ConfigWriteTest, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "Sound" : "Broken"; });

// A whole configuration write as the window and lumoctl send it (nine
// registers; the voltage unchanged, so only the bus's log shows whether it
// went out), by stand-ins that each break one rule:
// reported done without its last register, reported failed after a partial
// write the record does not own, a record that names values the device
// never took, a failure reported for a write the device took whole.
namespace {

const std::vector<uint16_t> kSendOrder = {Reg::MaxPos,      Reg::RearLimit, Reg::FrontLimit,
                                          Reg::CurrentLimit, Reg::SpeedPwm,  Reg::SettingFlag,
                                          Reg::HallPotSelect, Reg::BaudRate, Reg::VoltageOut};

struct WholeWriteCase {
    const char *name;
    size_t sent;                          // registers the device takes, from the first
    bool reportedDone;
    std::optional<size_t> recordSays;     // how many the record says were taken
    bool recordLies;                      // the record names a speed the device was not sent
    const char *broken;                   // the invariant that must break; nullptr: none
    ResultCode failure = Result::ReadError; // the record's code for the register after those taken
};

std::ostream &operator<<(std::ostream &out, const WholeWriteCase &c) { return out << c.name; }

struct WholeWriteTest : FakeToolTest, ::testing::WithParamInterface<WholeWriteCase> {};

} // namespace

TEST_P(WholeWriteTest, ChecksHoldTheWriteToWhatTheDeviceTook)
{
    const WholeWriteCase &c = GetParam();
    Start({Device(5)});
    const lumosim::DeviceTruth before = bus->Truth().devices[0];
    std::vector<SentWord> sent;
    std::vector<uint16_t> old;
    for (uint16_t reg : kSendOrder) {
        const std::optional<uint16_t> now = ConfigWord(before, reg);
        sent.push_back({reg, reg == Reg::SpeedPwm ? std::optional<uint16_t>(static_cast<uint16_t>(*now + 7))
                       : reg == Reg::RearLimit ? std::optional<uint16_t>(static_cast<uint16_t>(*now + 3))
                                               : now});
        old.push_back(now.value_or(0));
    }
    const uint64_t seq0 = LastSeq(bus->Truth());
    for (size_t k = 0; k < c.sent; ++k)
        ASSERT_FALSE(line->Transact(Request(5, Fc::WriteSingle, sent[k].reg, sent[k].value.value_or(0))).empty());
    const lumosim::BusTruth after = bus->Truth();

    Breaks breaks;
    auto add = [&](std::optional<Break> b) {
        if (b)
            breaks.push_back(*b);
    };
    std::optional<bool> nextOpen;
    if (c.recordSays) {
        records::Event said;
        said.registers = records::ConfigWriteResults(*c.recordSays, c.failure);
        nextOpen = RecordLeavesNextOpen(said);
    }
    add(CheckConfigWrite(after, 5, sent, old, c.reportedDone, c.recordSays, seq0, "config write",
                         nextOpen.value_or(false)));
    if (!c.reportedDone) {
        std::vector<std::vector<uint8_t>> pdus;
        for (const SentWord &w : sent)
            pdus.push_back({Fc::WriteSingle, static_cast<uint8_t>(w.reg >> 8), static_cast<uint8_t>(w.reg)});
        add(CheckFailureTrue(after, 5, pdus, seq0, false, "config write"));
        // On a line that can lose replies, a failure stays believable.
        EXPECT_FALSE(CheckFailureTrue(after, 5, pdus, seq0, true, "config write"));
    }
    if (c.recordSays) {
        records::Event event;
        event.kind = records::EventKind::ConfigWrite;
        event.address = 5;
        event.result = *c.recordSays == sent.size() ? Result::NoError : Result::ReadError;
        event.registers = records::ConfigWriteResults(*c.recordSays, c.failure);
        ActuatorConfig config;
        for (const records::ConfigWord &word : records::kConfigWords)
            for (size_t k = 0; k < sent.size(); ++k)
                if (Reg::HoldingName(sent[k].reg) == std::string_view(word.name))
                    config.*(word.member) = sent[k].value.value_or(0);
        if (c.recordLies)
            config.SpeedPwm = static_cast<uint16_t>(config.SpeedPwm + 1);
        event.config = config;
        add(CheckRecordedWrite(after, event, c.reportedDone, "config write"));
    }

    if (!c.broken) {
        EXPECT_TRUE(breaks.empty()) << breaks.front().invariant << ": " << breaks.front().detail;
    } else {
        ASSERT_EQ(breaks.size(), 1u) << c.name;
        EXPECT_EQ(breaks.front().invariant, c.broken) << breaks.front().detail;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tools, WholeWriteTest,
    ::testing::Values(WholeWriteCase{"DoneWhole", 9, true, 9, false, nullptr},
                      WholeWriteCase{"DoneWithoutItsLastRegister", 8, true, std::nullopt, false, NoLostWrite},
                      WholeWriteCase{"DoneWithoutItsSpeed", 4, true, std::nullopt, false, NoLostWrite},
                      WholeWriteCase{"FailedNothingTaken", 0, false, 0, false, nullptr},
                      WholeWriteCase{"FailedAsRecorded", 5, false, 5, false, nullptr},
                      WholeWriteCase{"FailedNotAsRecorded", 5, false, 1, false, NoLostWrite},
                      // The fifth register's reply was lost and could not be read back: taken or not.
                      WholeWriteCase{"FailedWhereAReplyWasLost", 5, false, 4, false, nullptr},
                      // A refusal is certain: the device did not take it.
                      WholeWriteCase{"FailedWhereRefusedButTaken", 5, false, 4, false, NoLostWrite,
                                     Result::ExceptionReply},
                      WholeWriteCase{"FailedUnrecordedPrefix", 3, false, std::nullopt, false, nullptr},
                      WholeWriteCase{"FailedButAllTaken", 9, false, std::nullopt, false, ShownIsTrue},
                      WholeWriteCase{"RecordNamesASpeedNotTaken", 9, true, 9, true, RecordsAreTrue},
                      WholeWriteCase{"DoneButRecordedFailed", 9, true, 4, false, RecordsAreTrue}),
    [](const auto &info) { return std::string(info.param.name); });

// A stand-in's Diagnose: it probes each device; the broken ones also
// leave a device moving, at another address, or with a configuration word
// changed.
namespace {

struct DoctorCase {
    const char *name;
    std::vector<uint8_t> extra; // a request after the probes: function, register, value; empty: none
    bool broken;
};

std::ostream &operator<<(std::ostream &out, const DoctorCase &c) { return out << c.name; }

struct DoctorTest : FakeToolTest, ::testing::WithParamInterface<DoctorCase> {};

} // namespace

TEST_P(DoctorTest, NoChangeUnaskedCatchesADiagnoseThatLeavesATrace)
{
    const DoctorCase &c = GetParam();
    Start({Device(1), Device(2)});
    const lumosim::BusTruth before = bus->Truth();
    for (uint8_t address = 1; address <= 2; ++address)
        line->Transact(Request(address, Fc::ReadInput, Reg::MotorStatus, 2));
    if (!c.extra.empty())
        line->Transact(Request(2, c.extra[0], static_cast<uint16_t>(c.extra[1]), c.extra[2]));
    const auto broken = CheckUnchanged(before, bus->Truth(), "Diagnose");
    EXPECT_EQ(broken.has_value(), c.broken) << (broken ? broken->detail : "no break");
    if (broken) {
        EXPECT_EQ(broken->invariant, NoChangeUnasked);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tools, DoctorTest,
    ::testing::Values(DoctorCase{"ProbesOnly", {}, false},
                      DoctorCase{"LeavesItMoving", {Fc::WriteSingle, Reg::ActionCmdIn, Cmd::Up}, true},
                      DoctorCase{"MovesItsAddress", {Fc::WriteSingle, Reg::Address, 9}, true},
                      DoctorCase{"ChangesItsSpeed", {Fc::WriteSingle, Reg::SpeedPwm, 33}, true}),
    [](const auto &info) { return std::string(info.param.name); });

// A stand-in that records its motion commands: the sound one records what
// it sent; the broken ones record a move it never sent, or the order
// turned round.
namespace {

struct MotionRecordCase {
    const char *name;
    std::vector<std::string> recorded;
    bool broken;
};

std::ostream &operator<<(std::ostream &out, const MotionRecordCase &c) { return out << c.name; }

struct MotionRecordTest : FakeToolTest, ::testing::WithParamInterface<MotionRecordCase> {};

} // namespace

TEST_P(MotionRecordTest, RecordsAreTrueCatchesAMoveThatDidNotHappen)
{
    const MotionRecordCase &c = GetParam();
    Start({Device(1), Device(2)});
    // What the stand-in sends: up and stop to device 1, down to device 2.
    line->Transact(Request(1, Fc::WriteSingle, Reg::ActionCmdIn, Cmd::Up));
    line->Transact(Request(2, Fc::WriteSingle, Reg::ActionCmdIn, Cmd::Down));
    line->Transact(Request(1, Fc::WriteSingle, Reg::ActionCmdIn, Cmd::Stop));
    std::vector<records::Event> events;
    for (const std::string &action : c.recorded) {
        records::Event e;
        e.kind = records::EventKind::Motion;
        e.address = 1;
        e.action = action;
        events.push_back(e);
    }
    records::Event failed; // a failure on record claims nothing
    failed.kind = records::EventKind::Motion;
    failed.action = "goto 300";
    failed.result = Result::ReadError;
    events.push_back(failed);
    const auto broken = CheckRecordedMotion(bus->Truth(), 0, events);
    EXPECT_EQ(broken.has_value(), c.broken) << (broken ? broken->detail : "no break");
    if (broken) {
        EXPECT_EQ(broken->invariant, RecordsAreTrue);
    }
}

INSTANTIATE_TEST_SUITE_P(Tools, MotionRecordTest,
                         ::testing::Values(MotionRecordCase{"AsSent", {"up", "stop"}, false},
                                           MotionRecordCase{"AMoveNeverSent", {"up", "down", "stop"}, true},
                                           MotionRecordCase{"OrderTurnedRound", {"stop", "up"}, true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ResidentTest, BoundedCatchesMemoryThatGrowsWithEachAction)
{
    const size_t atStart = ResidentKb();
    ASSERT_GT(atStart, 0u);
    std::vector<std::vector<char>> kept;
    std::optional<Break> broken;
    for (int action = 0; action < 8 && !broken; ++action) {
        kept.emplace_back(4 * 1024 * 1024, static_cast<char>(action + 1)); // touched: resident
        broken = CheckResident(atStart, ResidentKb(), 12 * 1024, "action " + std::to_string(action));
    }
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->invariant, Bounded);
    kept.clear();
    kept.shrink_to_fit();
    EXPECT_FALSE(CheckResident(atStart, atStart + 1024, 12 * 1024, "flat"));
}

TEST(DurationTest, NothingHangsNamesTheActionThatOverran)
{
    EXPECT_FALSE(CheckDuration(999, 1000, "Scan"));
    const auto broken = CheckDuration(1500, 1000, "Scan");
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->invariant, NothingHangs);
    EXPECT_NE(broken->detail.find("Scan"), std::string::npos);
}

TEST(OpenFilesTest, BoundedCatchesAFileLeftOpenByEachAction)
{
    const size_t atStart = OpenFiles();
    std::vector<int> leaked;
    for (int action = 0; action < 6; ++action) {
        leaked.push_back(::dup(0));
        const auto broken = CheckOpenFiles(atStart, OpenFiles(), 4, "action " + std::to_string(action));
        EXPECT_EQ(broken.has_value(), action >= 4);
        if (broken) {
            EXPECT_EQ(broken->invariant, Bounded);
        }
    }
    for (int fd : leaked)
        ::close(fd);
    EXPECT_FALSE(CheckOpenFiles(atStart, OpenFiles(), 0, "all closed"));
}
