#include "VirtualBus.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "Actuator.h"
#include "RequestFramer.h"
#include "Wire.h"
#include "modbus/Frames.h"

namespace lumosim {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr size_t MaxLoggedFrames = 10000;
constexpr size_t MaxPendingReplies = 32;
constexpr uint8_t StrayByte = 0xFF;
constexpr uint8_t BroadcastAddress = 0;
constexpr uint8_t MaxSlaveAddress = 247;
// Default motor IDs: 0x5A00 + bus address, so "5A05" is the device at 5.
constexpr uint16_t DefaultNameBase = 0x5A00;
// The serving thread wakes at least this often even when nothing is due.
constexpr auto IdleWake = std::chrono::milliseconds(200);

// Who drives the line: devices are numbered by their index on the bus.
constexpr int MasterSender = -1;
// Transmissions are kept this long after they end, for receivers still
// inside their last character: one character at 50 baud, the slowest rate
// a termios names, is 200 ms.
constexpr double WireMemoryMs = 250;
// The master's transmit side holds at most this many bytes that have not
// yet gone out on the wire, like the transmit buffer of a serial driver
// (4 KB on Linux). Beyond it the bus stops reading the pseudo-terminal, so
// the tool's writes fill the pty and then block as on a real port, instead
// of the whole of a long write being taken at once and the line being busy
// with it long after the writer has finished: 20,000 bytes at 9600 baud
// are 20.8 s of wire, and a request written after them is heard after them.
constexpr size_t MasterTxBufferBytes = 4096;
// The most the bus reads from the master at once.
constexpr size_t MasterReadChunk = 512;

uint16_t CodeOfRate(uint32_t baud)
{
    switch (baud) {
    case 4800: return 1;
    case 9600: return 2;
    case 19200: return 3;
    default: return 0;
    }
}

// The rate of a termios speed; 0 for B0 (hang up) or one not in the table.
uint32_t RateOfSpeed(speed_t speed)
{
    static const std::pair<speed_t, uint32_t> table[] = {
        {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
        {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
        {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
        {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    for (const auto &[code, rate] : table)
        if (code == speed)
            return rate;
    return 0;
}

speed_t SpeedOfRate(uint32_t baud)
{
    switch (baud) {
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    default: return B115200;
    }
}

std::string ReadLink(const std::string &path)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

} // namespace

struct VirtualBus::Impl {
    explicit Impl(BusOptions busOptions)
        : options(std::move(busOptions)), rng(options.seed), lineRng(options.seed ^ 0x9E3779B97F4A7C15ull),
          framer(options.frameGapMs), adapterRx(options.baud, 0)
    {
        if (!(options.timeScale > 0))
            options.timeScale = 1.0;
    }

    double RealMs(SteadyClock::time_point t) const
    {
        return std::chrono::duration<double, std::milli>(t - origin).count();
    }
    double SimMs() const { return RealMs(SteadyClock::now()) * options.timeScale; }

    // First device at `address`; the caller holds the mutex.
    Actuator *Find(uint8_t address) const
    {
        const size_t index = IndexOf(address);
        return index < devices.size() ? devices[index].get() : nullptr;
    }
    size_t IndexOf(uint8_t address) const
    {
        for (size_t i = 0; i < devices.size(); ++i)
            if (devices[i]->Address() == address)
                return i;
        return devices.size();
    }

    // A number in [0, 1) from the seeded generator (the same run for the same seed).
    double Draw() { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }
    // The same from the line's own generator (turnaround jitter, bit noise), so
    // that turning noise on does not change which replies the faults hit.
    double DrawLine() { return static_cast<double>(lineRng() >> 11) * 0x1.0p-53; }

    void Wake() const
    {
        const uint8_t byte = 1;
        if (wake[1] >= 0 && ::write(wake[1], &byte, 1) < 0) {
            // The pipe is full: the thread has a wake-up pending anyway.
        }
    }

    // What heard a request: the instant line's one framer, or the devices
    // listening at `baud` on the line model, in wire time.
    struct Hearing {
        double startMs;
        double endMs;
        uint32_t baud;   // 0 on the instant line
        bool logged;     // the master's own rate: this listener's frames are the log's
    };

    SteadyClock::time_point At(double ms) const
    {
        return origin + std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double, std::milli>(ms));
    }

    void Run();
    void ServeInstant(SteadyClock::time_point now, const uint8_t *bytes, size_t length);
    double ServeLine(double nowMs, const uint8_t *bytes, size_t length);
    void OnRequest(RequestFramer::Kind kind, const uint8_t *bytes, size_t length, const Hearing &heard);
    std::vector<uint8_t> ReplyFrame(Actuator &device, uint8_t address, const std::vector<uint8_t> &pdu);
    void ScheduleReply(size_t index, uint8_t address, const std::vector<uint8_t> &pdu, const Hearing &heard);
    void SendDueReplies(SteadyClock::time_point now);
    double HandOverToMaster(double nowMs);
    size_t TxRoom(double nowMs) const;
    double TxRoomAtMs() const;
    void WriteToMaster(const uint8_t *bytes, size_t length);
    Transmission Transmit(int sender, double startMs, uint32_t baud, const std::vector<uint8_t> &bytes,
                          double bitErrorRate);
    uint32_t BaudOf(size_t index, double nowMs);
    void FollowBaudRegister(size_t index, double atMs);
    uint32_t MasterBaud() const;
    void Log(bool fromMaster, const uint8_t *bytes, size_t length, double startMs, double endMs,
             const char *note);
    void CloseMaster();
    void RemoveLink();

    BusOptions options;
    const SteadyClock::time_point origin = SteadyClock::now();

    mutable std::mutex mutex;                 // everything below, except as marked
    mutable std::condition_variable changed;  // a frame heard, the master closed
    // Reading a register advances the motion, so even const accessors change them.
    mutable std::vector<std::unique_ptr<Actuator>> devices;
    // Beside each device (same index): the rate it talks at, and under
    // BaudChange::Now the rate it moves to once its reply has left the wire.
    struct LineState {
        uint32_t baud = 115200;
        uint32_t nextBaud = 0;
        double switchAtMs = Never;
        Turnaround turnaround;
    };
    std::vector<LineState> lineStates;
    std::mt19937_64 rng;
    std::mt19937_64 lineRng;
    std::deque<LoggedFrame> log;
    size_t framesHeard = 0;
    FILE *logFile = nullptr;
    std::string devicePath;
    std::string linkPath;
    bool unplugRequested = false;
    std::deque<ActedRequest> acted;       // the truth's request log (Truth.h)
    uint64_t actedCount = 0;
    void NoteActed(size_t index, uint8_t address, const Hearing &heard, const uint8_t *pdu, size_t length,
                   const std::vector<uint8_t> *reply)
    {
        if (acted.size() >= MaxActedRequests)
            acted.pop_front();
        acted.push_back(ActedRequest{++actedCount, index, address, heard.startMs, heard.endMs,
                                     std::vector<uint8_t>(pdu, pdu + length),
                                     reply ? *reply : std::vector<uint8_t>{}});
    }

    // Set up by Start() before the thread runs; then the thread's alone.
    int masterFd = -1;
    int slaveFd = -1;
    int wake[2] = {-1, -1};
    std::thread thread;
    std::atomic<bool> stopping{false};
    RequestFramer framer;
    struct Pending {
        SteadyClock::time_point due;
        std::vector<uint8_t> bytes;
    };
    std::deque<Pending> pending; // by due time (instant line)

    // The line model.
    Wire wire;
    double masterTxFreeMs = 0;      // the master's UART has sent all it was given by then
    Receiver adapterRx;             // the USB adapter's UART, at the master's rate
    std::deque<HeardByte> adapterFifo;
    double tickBaseMs = 0;          // the latency timer fires at tickBaseMs + k * latency
    struct Listener {
        Receiver rx;
        RequestFramer framer;
    };
    std::map<uint32_t, Listener> listeners; // the devices' UARTs, one per rate in use
    uint32_t masterBaud = 115200;   // last read from the pseudo-terminal's termios
    double lineNowMs = 0;           // the time ServeLine runs at
};

void VirtualBus::Impl::Run()
{
    std::array<uint8_t, MasterReadChunk> chunk;
    double lineDueMs = Never; // when the line model next has something to do
    while (!stopping) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (unplugRequested) {
                CloseMaster();
                lineDueMs = Never;
                unplugRequested = false;
                changed.notify_all();
            }
        }

        // Sleep until a byte comes or the next thing on the line falls due: a
        // reply, the gap after a partial frame, a character, an adapter packet.
        auto now = SteadyClock::now();
        auto until = now + IdleWake;
        // The line model takes no more of the master's bytes while its
        // transmit side is full; it looks again once there is room.
        size_t room = chunk.size();
        if (options.instant) {
            if (const auto gapEnd = framer.Deadline())
                until = std::min(until, At(*gapEnd));
            if (!pending.empty())
                until = std::min(until, pending.front().due);
        } else {
            const double roomAtMs = TxRoomAtMs();
            room = TxRoom(RealMs(now));
            if (room == 0)
                lineDueMs = std::min(lineDueMs, roomAtMs);
            if (lineDueMs < RealMs(until))
                until = At(lineDueMs);
        }
        const auto wait = std::max(until - now, SteadyClock::duration::zero());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        // With no room the master is not polled at all: nothing would be
        // read, and a hang-up would wake the thread again and again.
        pollfd fds[2] = {{wake[0], POLLIN, 0}, {masterFd, POLLIN, 0}};
        if (::ppoll(fds, masterFd >= 0 && room > 0 ? 2 : 1, &timeout, nullptr) < 0 && errno != EINTR)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));

        if (fds[0].revents & POLLIN)
            while (::read(wake[0], chunk.data(), chunk.size()) > 0) {
            }
        now = SteadyClock::now();
        if (!options.instant)
            room = TxRoom(RealMs(now));
        size_t got = 0;
        if (masterFd >= 0 && room > 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::read(masterFd, chunk.data(), std::min(room, chunk.size()));
            if (n > 0) {
                got = static_cast<size_t>(n);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // Nothing to read but a hang-up or error state: do not spin on it.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        if (options.instant)
            ServeInstant(now, chunk.data(), got);
        else
            lineDueMs = ServeLine(RealMs(now), chunk.data(), got);
    }
}

// Bytes the master's transmit side can take at `nowMs`: its buffer less
// what is still waiting to go out on the wire at the master's rate. Room
// for less than a read's chunk counts as none, so that a writer kept
// waiting is served a chunk at a time (512 bytes at 9600 baud are 0.53 s
// of wire), not a byte per character time.
size_t VirtualBus::Impl::TxRoom(double nowMs) const
{
    const double waiting = std::max(0.0, masterTxFreeMs - nowMs) / CharMs(masterBaud);
    const double room = static_cast<double>(MasterTxBufferBytes) - std::ceil(waiting);
    return room >= static_cast<double>(MasterReadChunk) ? static_cast<size_t>(room) : 0;
}

// When the transmit side will have room for a chunk again.
double VirtualBus::Impl::TxRoomAtMs() const
{
    // (A hundredth of a millisecond late, so that rounding cannot leave it
    // one byte short.)
    return masterTxFreeMs - static_cast<double>(MasterTxBufferBytes - MasterReadChunk) * CharMs(masterBaud) + 0.01;
}

// The instant line: bytes are heard when read, a reply is written whole when due.
void VirtualBus::Impl::ServeInstant(SteadyClock::time_point now, const uint8_t *bytes, size_t length)
{
    const double nowMs = RealMs(now);
    auto sink = [this, nowMs](RequestFramer::Kind kind, const uint8_t *frame, size_t n) {
        OnRequest(kind, frame, n, Hearing{nowMs, nowMs, 0, true});
    };
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (length > 0)
            framer.Feed(bytes, length, nowMs, sink);
        framer.Expire(nowMs, sink);
    }
    SendDueReplies(now);
}

// The line model at `nowMs`, with `length` bytes the master has just written.
// Everything before nowMs on the wire is final (whatever is sent from now on
// starts at nowMs or later), so every UART decodes up to there. Returns when
// something next falls due.
double VirtualBus::Impl::ServeLine(double nowMs, const uint8_t *bytes, size_t length)
{
    std::lock_guard<std::mutex> lock(mutex);
    lineNowMs = nowMs;
    // The tool sets the rate on its side of the pseudo-terminal; read it before
    // each request. (A pty keeps one termios for both sides and one speed for
    // both directions: see docs/line-model.md.)
    const uint32_t rate = MasterBaud();
    if (rate != 0) {
        masterBaud = rate;
        adapterRx.SetBaud(rate);
    }
    if (length > 0 && rate != 0) {
        // A write goes out byte after byte from when it was made, or from when
        // the master's earlier bytes have left.
        Transmission tx = Transmit(MasterSender, std::max(nowMs, masterTxFreeMs), masterBaud,
                                   std::vector<uint8_t>(bytes, bytes + length), options.bitErrorRate);
        masterTxFreeMs = tx.EndMs();
        wire.AddOrExtend(std::move(tx));
    }

    // The devices' UARTs, one per rate a device talks at, and one at the
    // master's rate: the frames that one finds are the ones the log shows.
    std::vector<uint32_t> rates{masterBaud};
    for (size_t i = 0; i < devices.size(); ++i)
        rates.push_back(BaudOf(i, nowMs));
    for (uint32_t baud : rates)
        if (listeners.find(baud) == listeners.end())
            listeners.emplace(baud, Listener{Receiver(baud, nowMs), RequestFramer(T35Ms(baud), CharMs(baud))});

    double due = Never;
    std::vector<HeardByte> heard;
    auto fromMaster = [](int sender) { return sender == MasterSender; };
    for (auto &[baud, listener] : listeners) {
        const uint32_t listenerBaud = baud; // a structured binding cannot be captured
        Listener &l = listener;
        auto sink = [this, listenerBaud, &l](RequestFramer::Kind kind, const uint8_t *frame, size_t n) {
            const double startMs = std::max(0.0, l.framer.FirstMs() - CharMs(listenerBaud));
            OnRequest(kind, frame, n, Hearing{startMs, l.framer.LastMs(), listenerBaud, listenerBaud == masterBaud});
        };
        heard.clear();
        const double nextByte = l.rx.Decode(wire, nowMs, fromMaster, heard);
        due = std::min(due, nextByte);
        for (const HeardByte &b : heard)
            l.framer.Feed(&b.byte, 1, b.endMs, sink);
        // The line has been quiet up to now, or up to the start of a character
        // still on its way.
        l.framer.Expire(std::min(nowMs, nextByte - CharMs(listenerBaud)), sink);
        if (const auto gapEnd = l.framer.Deadline())
            due = std::min(due, *gapEnd);
    }

    // The adapter hears the devices, and the master's own bytes when it does
    // not suppress its echo; it hands what it heard to the master in packets.
    auto adapterHears = [this](int sender) { return sender != MasterSender || options.echo; };
    heard.clear();
    due = std::min(due, adapterRx.Decode(wire, nowMs, adapterHears, heard));
    adapterFifo.insert(adapterFifo.end(), heard.begin(), heard.end());
    due = std::min(due, HandOverToMaster(nowMs));
    wire.ForgetBefore(nowMs - WireMemoryMs);
    return due;
}

// An FTDI-style adapter: bytes wait in its buffer until the latency timer
// fires with data pending or a USB packet is full, whichever comes first.
// The timer runs all the time (the chip sends a status packet at every tick
// even with no data) and starts over when a full packet goes out. So a
// 33-byte reply at 115200 baud (2.9 ms on the wire) usually arrives in one
// piece up to 16 ms after its last byte, and one at 4800 baud (69 ms) in
// four or five pieces 16 ms apart. A latency of 0 hands each byte over as it
// arrives, as a UART on the motherboard would.
double VirtualBus::Impl::HandOverToMaster(double nowMs)
{
    const double latency = options.adapterLatencyMs;
    const size_t packet = std::max<size_t>(options.adapterPacketSize, 1);
    while (!adapterFifo.empty()) {
        double handAt = adapterFifo.front().endMs;
        bool full = false;
        if (latency > 0) {
            const double tick = tickBaseMs + std::ceil((handAt - tickBaseMs) / latency) * latency;
            const double fullAt = adapterFifo.size() >= packet ? adapterFifo[packet - 1].endMs : Never;
            full = fullAt <= tick;
            handAt = full ? fullAt : tick;
        }
        if (handAt > nowMs)
            return handAt;
        if (full)
            tickBaseMs = handAt;
        std::vector<uint8_t> out;
        while (!adapterFifo.empty() && out.size() < packet && adapterFifo.front().endMs <= handAt) {
            out.push_back(adapterFifo.front().byte);
            adapterFifo.pop_front();
        }
        WriteToMaster(out.data(), out.size());
    }
    return Never;
}

void VirtualBus::Impl::WriteToMaster(const uint8_t *bytes, size_t length)
{
    if (masterFd < 0 || length == 0)
        return;
    if (::write(masterFd, bytes, length) < 0) {
        // The tool does not read and the pty's buffer is full: a real
        // adapter's buffer would overflow the same way.
    }
}

// The 10-bit characters of `bytes` as a driver puts them on the wire, each
// bit flipped with chance `bitErrorRate`.
Transmission VirtualBus::Impl::Transmit(int sender, double startMs, uint32_t baud, const std::vector<uint8_t> &bytes,
                                        double bitErrorRate)
{
    Transmission tx;
    tx.sender = sender;
    tx.startMs = startMs;
    tx.bitMs = 1000.0 / baud;
    tx.bits.reserve(bytes.size());
    for (uint8_t byte : bytes) {
        uint16_t bits = CharBits(byte);
        if (bitErrorRate > 0)
            for (int i = 0; i < 10; ++i)
                if (DrawLine() < bitErrorRate)
                    bits = static_cast<uint16_t>(bits ^ (1u << i));
        tx.bits.push_back(bits);
    }
    return tx;
}

// The rate device `index` talks at by `nowMs`; the caller holds the mutex.
uint32_t VirtualBus::Impl::BaudOf(size_t index, double nowMs)
{
    LineState &state = lineStates[index];
    if (state.nextBaud != 0 && nowMs >= state.switchAtMs) {
        state.baud = state.nextBaud;
        state.nextBaud = 0;
        state.switchAtMs = Never;
    }
    const uint32_t forced = devices[index]->faults().lineBaud;
    return forced != 0 ? forced : state.baud;
}

// Under BaudChange::Now, a device whose BaudRate register names another rate
// than it talks at moves to that rate at `atMs`. A code the device does not
// know (only 0..3 are rates) leaves it at the rate it has.
void VirtualBus::Impl::FollowBaudRegister(size_t index, double atMs)
{
    if (options.baudChange != BaudChange::Now)
        return;
    LineState &state = lineStates[index];
    const uint32_t wanted = Reg::BaudRateOf(devices[index]->BaudCode());
    if (wanted == 0 || (wanted == state.baud && state.nextBaud == 0))
        return;
    state.nextBaud = wanted;
    state.switchAtMs = atMs;
}

// The rate the master's side of the pseudo-terminal is set to; 0 when it
// cannot be read or is B0 (hang up) or not a rate this bus knows.
uint32_t VirtualBus::Impl::MasterBaud() const
{
    termios settings{};
    if (slaveFd < 0 || ::tcgetattr(slaveFd, &settings) != 0)
        return 0;
    return RateOfSpeed(cfgetospeed(&settings));
}

// One request frame (or a piece of line noise) heard from the master. On
// the line model only the devices that talk at the rate of the UART that
// heard it act on it; the others hear the same bytes as garbage through
// their own.
void VirtualBus::Impl::OnRequest(RequestFramer::Kind kind, const uint8_t *bytes, size_t length,
                                 const Hearing &heard)
{
    const char *note = nullptr;
    std::vector<std::pair<size_t, std::vector<uint8_t>>> replies; // device index, PDU
    uint8_t address = 0;
    if (kind == RequestFramer::Kind::Dropped) {
        // Bytes as long as their function code says, or up to the gap for a
        // function without a fixed length: a frame but for its CRC.
        const bool wholeFrame = RequestLength(bytes, length) == length || (length >= 4 && !LengthIsFixed(bytes[1]));
        note = wholeFrame ? "bad CRC, ignored" : "no frame in these bytes, dropped";
    } else {
        address = bytes[0];
        const uint8_t *pdu = bytes + 1;
        const size_t pduLength = length - 3; // less address and CRC
        const double simMs = heard.endMs * options.timeScale;
        auto atThisRate = [&](size_t i) { return heard.baud == 0 || BaudOf(i, heard.endMs) == heard.baud; };
        auto hears = [this](const Actuator &device) {
            const Faults &f = device.faults();
            return !f.silent && !(f.silentProbability > 0 && Draw() < f.silentProbability);
        };
        if (address == BroadcastAddress) {
            note = "broadcast";
            for (size_t i = 0; i < devices.size(); ++i)
                if (atThisRate(i) && hears(*devices[i])) {
                    devices[i]->Handle(pdu, pduLength, simMs, true);
                    NoteActed(i, address, heard, pdu, pduLength, nullptr);
                    FollowBaudRegister(i, heard.endMs);
                }
        } else {
            // Taken before any of them acts: an address change must not add or drop one.
            std::vector<size_t> addressed;
            for (size_t i = 0; i < devices.size(); ++i)
                if (devices[i]->Address() == address)
                    addressed.push_back(i);
            if (addressed.empty())
                note = "no device at this address";
            for (size_t i : addressed) {
                if (!atThisRate(i)) {
                    if (heard.logged)
                        note = "device talks at another baud rate: hears garbage";
                    continue;
                }
                if (!hears(*devices[i])) {
                    note = "device silent";
                    continue;
                }
                auto reply = devices[i]->Handle(pdu, pduLength, simMs, false);
                NoteActed(i, address, heard, pdu, pduLength, reply ? &*reply : nullptr);
                if (reply)
                    replies.emplace_back(i, std::move(*reply));
                else
                    FollowBaudRegister(i, heard.endMs);
            }
        }
    }
    if (heard.logged)
        Log(true, bytes, length, heard.startMs, heard.endMs, note);
    for (const auto &[index, pdu] : replies)
        ScheduleReply(index, address, pdu, heard);
}

// Frames the reply (address, PDU, CRC low, CRC high) and applies the device's
// faults to its bytes.
std::vector<uint8_t> VirtualBus::Impl::ReplyFrame(Actuator &device, uint8_t address, const std::vector<uint8_t> &pdu)
{
    const Faults &f = device.faults();
    std::vector<uint8_t> frame;
    frame.reserve(pdu.size() + 4);
    if (f.strayByteBeforeReply || (f.strayByteProbability > 0 && Draw() < f.strayByteProbability))
        frame.push_back(StrayByte);
    const size_t start = frame.size();
    frame.push_back(address);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    frame.resize(frame.size() + 2);
    Rtu::AppendCrc(frame.data() + start, frame.size() - start - 2);

    const uint32_t number = device.CountReply();
    const bool writeReplyCorrupt = f.corruptWriteReplyRegister && pdu.size() >= 3 &&
                                   pdu[0] == Fc::WriteSingle && Rtu::GetU16(&pdu[1]) == *f.corruptWriteReplyRegister;
    const bool corrupt = (f.corruptCrcEveryN != 0 && number % f.corruptCrcEveryN == 0) ||
                         (f.corruptCrcProbability > 0 && Draw() < f.corruptCrcProbability) || writeReplyCorrupt;
    if (corrupt)
        frame.back() ^= 0xFF; // the CRC's high byte, inverted: never the right one
    if (f.garbageReplies) {
        // The first byte is no slave address (0xF8..0xFF), so no master can
        // take what follows for a reply; the rest is anything.
        frame[0] = static_cast<uint8_t>(0xF8 | (rng() & 0x07));
        for (size_t i = 1; i < frame.size(); ++i)
            frame[i] = static_cast<uint8_t>(rng());
    }
    return frame;
}

// Queues device `index`'s reply for its time. On the line model it goes on
// the wire after the t3.5 silence that ends the request, the device's
// turnaround and any extra delay, at the rate the request was heard at.
void VirtualBus::Impl::ScheduleReply(size_t index, uint8_t address, const std::vector<uint8_t> &pdu,
                                     const Hearing &heard)
{
    Actuator &device = *devices[index];
    const Faults &f = device.faults();
    std::vector<uint8_t> frame = ReplyFrame(device, address, pdu);
    if (options.instant) {
        if (pending.size() >= MaxPendingReplies)
            return; // nobody reads them; a real slave would have given up too
        const auto due = At(heard.endMs) + std::chrono::milliseconds(f.replyDelayMs);
        auto place = std::upper_bound(pending.begin(), pending.end(), due,
                                      [](SteadyClock::time_point t, const Pending &p) { return t < p.due; });
        pending.insert(place, Pending{due, std::move(frame)});
        FollowBaudRegister(index, heard.endMs);
        return;
    }
    const Turnaround &turnaround = lineStates[index].turnaround;
    const double low = std::max(0.0, turnaround.minMs);
    const double jitter = turnaround.maxMs > low ? (turnaround.maxMs - low) * DrawLine() : 0;
    // A thread that woke late cannot send into the past of the wire.
    const double startMs =
        std::max(heard.endMs + T35Ms(heard.baud) + low + jitter + f.replyDelayMs, lineNowMs);
    const double errorRate = 1 - (1 - options.bitErrorRate) * (1 - f.bitErrorRate);
    Transmission tx = Transmit(static_cast<int>(index), startMs, heard.baud, frame, errorRate);
    const double endMs = tx.EndMs();
    wire.Add(std::move(tx));
    Log(false, frame.data(), frame.size(), startMs, endMs, nullptr);
    FollowBaudRegister(index, endMs);
}

void VirtualBus::Impl::SendDueReplies(SteadyClock::time_point now)
{
    while (!pending.empty() && pending.front().due <= now) {
        Pending reply = std::move(pending.front());
        pending.pop_front();
        if (masterFd < 0)
            continue;
        // One write: the whole reply reaches the tool's input together, as
        // the bytes of one frame follow each other without a gap on the wire.
        const ssize_t n = ::write(masterFd, reply.bytes.data(), reply.bytes.size());
        const char *note = n == static_cast<ssize_t>(reply.bytes.size()) ? nullptr : "line full, reply cut";
        std::lock_guard<std::mutex> lock(mutex);
        const double sentMs = RealMs(SteadyClock::now());
        Log(false, reply.bytes.data(), reply.bytes.size(), sentMs, sentMs, note);
    }
}

// The caller holds the mutex. File lines read
//   "   1234.567    1235.261 M>S 01 03 00 1F 00 01 B5 CD"
// (ms since start when the frame began and ended on the wire, direction,
// bytes) with "; note" after frames that were not answered normally.
void VirtualBus::Impl::Log(bool fromMaster, const uint8_t *bytes, size_t length, double startMs, double endMs,
                           const char *note)
{
    if (log.size() >= MaxLoggedFrames)
        log.pop_front();
    log.push_back(LoggedFrame{static_cast<uint64_t>(startMs), fromMaster,
                              std::vector<uint8_t>(bytes, bytes + length), startMs, endMs});
    if (fromMaster) {
        ++framesHeard;
        changed.notify_all();
    }
    if (logFile) {
        std::fprintf(logFile, "%11.3f %11.3f %s", startMs, endMs, fromMaster ? "M>S" : "S>M");
        for (size_t i = 0; i < length; ++i)
            std::fprintf(logFile, " %02X", bytes[i]);
        if (note)
            std::fprintf(logFile, "   ; %s", note);
        std::fputc('\n', logFile);
        std::fflush(logFile);
    }
}

void VirtualBus::Impl::CloseMaster()
{
    if (masterFd >= 0) {
        ::close(masterFd);
        masterFd = -1;
    }
    pending.clear();
    framer.Reset();
    wire.Clear();
    adapterFifo.clear();
    listeners.clear();
    masterTxFreeMs = 0;
}

// Removes our link, but only while it still points at our device.
void VirtualBus::Impl::RemoveLink()
{
    if (!linkPath.empty() && ReadLink(linkPath) == devicePath)
        ::unlink(linkPath.c_str());
    linkPath.clear();
}

VirtualBus::VirtualBus(BusOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

VirtualBus::~VirtualBus()
{
    Stop();
}

bool VirtualBus::AddDevice(const DeviceOptions &device)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (device.address == BroadcastAddress || device.address > MaxSlaveAddress ||
        (impl_->Find(device.address) && !device.sharesAddress))
        return false;
    uint16_t name = device.name.value_or(static_cast<uint16_t>(DefaultNameBase + device.address));
    if (!device.name) {
        auto taken = [&](uint16_t candidate) {
            return std::any_of(impl_->devices.begin(), impl_->devices.end(),
                               [&](const auto &d) { return d->Name() == candidate; });
        };
        while (taken(name))
            ++name;
    }
    const MotionTiming timing{static_cast<double>(impl_->options.fullStrokeMs),
                              static_cast<double>(impl_->options.learnDurationMs)};
    auto actuator = std::make_unique<Actuator>(device, name, timing);
    // The devices are set to the bus's rate to begin with.
    actuator->SetHolding(Reg::BaudRate, CodeOfRate(impl_->options.baud), 0);
    impl_->devices.push_back(std::move(actuator));
    Impl::LineState state;
    state.baud = impl_->options.baud;
    state.turnaround = device.turnaround;
    impl_->lineStates.push_back(state);
    return true;
}

bool VirtualBus::Start()
{
    Impl &d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.thread.joinable())
        return true;
    if (Reg::BaudRateOf(CodeOfRate(d.options.baud)) != d.options.baud)
        return false; // the devices know 4800, 9600, 19200 and 115200 only
    if (d.options.instant && d.options.frameGapMs == 0)
        return false; // every byte would end a frame: no request would ever be heard

    // Raw from creation: a cooked slave would eat 0x03 as ^C and turn 0x0D into 0x0A.
    termios raw{};
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    // The master's side starts at the bus's rate; the tool sets its own.
    cfsetispeed(&raw, SpeedOfRate(d.options.baud));
    cfsetospeed(&raw, SpeedOfRate(d.options.baud));
    char name[PATH_MAX] = {};
    if (::openpty(&d.masterFd, &d.slaveFd, name, &raw, nullptr) != 0)
        return false;
    ::fcntl(d.masterFd, F_SETFD, FD_CLOEXEC);
    ::fcntl(d.slaveFd, F_SETFD, FD_CLOEXEC);
    ::fcntl(d.masterFd, F_SETFL, ::fcntl(d.masterFd, F_GETFL) | O_NONBLOCK);
    auto fail = [&] {
        for (int *fd : {&d.masterFd, &d.slaveFd, &d.wake[0], &d.wake[1]})
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        return false;
    };
    if (::pipe2(d.wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail();
    if (!d.options.logPath.empty()) {
        d.logFile = std::fopen(d.options.logPath.c_str(), "we");
        if (!d.logFile)
            return fail();
        std::fprintf(d.logFile,
                     "# lumo-sim on %s: ms since start when the frame began and ended on the wire, "
                     "M>S heard from the master, S>M sent\n",
                     name);
        std::fflush(d.logFile);
    }
    d.devicePath = name;
    d.framer.Reset();
    d.pending.clear();
    d.wire.Clear();
    d.adapterFifo.clear();
    d.listeners.clear();
    d.masterTxFreeMs = 0;
    d.unplugRequested = false;
    d.stopping = false;
    d.thread = std::thread([&d] { d.Run(); });
    return true;
}

void VirtualBus::Stop()
{
    Impl &d = *impl_;
    if (d.thread.joinable()) {
        d.stopping = true;
        d.Wake();
        d.thread.join();
    }
    std::lock_guard<std::mutex> lock(d.mutex);
    d.CloseMaster();
    d.unplugRequested = false; // an Unplug() that the thread did not get to is done too
    d.changed.notify_all();
    for (int *fd : {&d.slaveFd, &d.wake[0], &d.wake[1]})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    d.RemoveLink();
    if (d.logFile) {
        std::fclose(d.logFile);
        d.logFile = nullptr;
    }
    d.devicePath.clear();
}

std::string VirtualBus::DevicePath() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->devicePath;
}

bool VirtualBus::MakeLink(const std::string &path)
{
    Impl &d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.devicePath.empty() || path.empty())
        return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        return false; // never replace a file or a directory
    // A new link under a temporary name, renamed over the old one: the path
    // is never missing for a tool that opens it meanwhile.
    const std::string temporary = path + ".lumo-sim-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(d.devicePath.c_str(), temporary.c_str()) != 0)
        return false;
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    if (d.linkPath != path)
        d.RemoveLink();
    d.linkPath = path;
    return true;
}

uint16_t VirtualBus::Holding(uint8_t address, uint16_t reg) const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Actuator *device = impl_->Find(address);
    return device ? device->Holding(reg, impl_->SimMs()) : 0;
}

void VirtualBus::SetHolding(uint8_t address, uint16_t reg, uint16_t value)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const size_t index = impl_->IndexOf(address);
    if (index == impl_->devices.size())
        return;
    impl_->devices[index]->SetHolding(reg, value, impl_->SimMs());
    if (reg == Reg::BaudRate)
        impl_->FollowBaudRegister(index, impl_->RealMs(SteadyClock::now()));
}

uint16_t VirtualBus::Input(uint8_t address, uint16_t reg) const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Actuator *device = impl_->Find(address);
    return device ? device->Input(reg, impl_->SimMs()) : 0;
}

void VirtualBus::SetInput(uint8_t address, uint16_t reg, uint16_t value)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (Actuator *device = impl_->Find(address))
        device->SetInput(reg, value, impl_->SimMs());
}

bool VirtualBus::HasDevice(uint8_t address) const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->Find(address) != nullptr;
}

std::vector<uint8_t> VirtualBus::Addresses() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<uint8_t> addresses;
    for (const auto &device : impl_->devices)
        addresses.push_back(device->Address());
    return addresses;
}

void VirtualBus::SetFaults(uint8_t address, const Faults &faults)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (Actuator *device = impl_->Find(address))
        device->SetFaults(faults);
}

uint32_t VirtualBus::DeviceBaud(uint8_t address) const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const size_t index = impl_->IndexOf(address);
    return index < impl_->devices.size() ? impl_->BaudOf(index, impl_->RealMs(SteadyClock::now())) : 0;
}

void VirtualBus::PowerCycle()
{
    Impl &d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    const double simMs = d.SimMs();
    for (size_t i = 0; i < d.devices.size(); ++i) {
        d.devices[i]->PowerUp(simMs);
        Impl::LineState &state = d.lineStates[i];
        if (const uint32_t rate = Reg::BaudRateOf(d.devices[i]->BaudCode()); rate != 0)
            state.baud = rate;
        state.nextBaud = 0;
        state.switchAtMs = Never;
    }
}

BusTruth VirtualBus::Truth() const
{
    Impl &d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    BusTruth truth;
    const double simNow = d.SimMs();
    const double scale = d.options.timeScale;
    truth.nowMs = simNow / scale;
    for (size_t i = 0; i < d.devices.size(); ++i) {
        Actuator &a = *d.devices[i];
        DeviceTruth t;
        t.index = i;
        t.address = a.Address();
        t.motion = a.Input(Reg::MotorStatus, simNow); // brings the motion up to now
        t.position = a.Holding(Reg::CurrentPos, simNow);
        t.learning = a.Learning();
        t.model = a.Model();
        t.motorId = a.Name();
        for (size_t k = 0; k < t.config.size(); ++k)
            t.config[k] = a.Holding(TruthConfigRegisters[k], simNow);
        t.baud = d.options.instant ? Reg::BaudRateOf(a.BaudCode()) : d.BaudOf(i, truth.nowMs);
        t.motionStarts = a.MotionStarts();
        t.lastMotionStartMs = a.LastMotionStartMs() < 0 ? -1 : a.LastMotionStartMs() / scale;
        t.lastMotionStopMs = a.LastMotionStopMs() < 0 ? -1 : a.LastMotionStopMs() / scale;
        truth.devices.push_back(t);
    }
    truth.acted.assign(d.acted.begin(), d.acted.end());
    truth.actedDropped = d.actedCount - d.acted.size();
    return truth;
}

std::vector<LoggedFrame> VirtualBus::FrameLog() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return {impl_->log.begin(), impl_->log.end()};
}

void VirtualBus::ClearFrameLog()
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->log.clear();
    impl_->framesHeard = 0;
}

bool VirtualBus::WaitForFrames(size_t fromMasterCount, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return impl_->framesHeard >= fromMasterCount; });
}

void VirtualBus::Unplug()
{
    Impl &d = *impl_;
    std::unique_lock<std::mutex> lock(d.mutex);
    if (!d.thread.joinable()) {
        d.CloseMaster();
        return;
    }
    d.unplugRequested = true;
    d.Wake();
    d.changed.wait(lock, [&] { return !d.unplugRequested; });
}

} // namespace lumosim
