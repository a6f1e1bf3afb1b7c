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
#include <mutex>
#include <random>
#include <thread>

#include "Actuator.h"
#include "RequestFramer.h"
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

std::string ReadLink(const std::string &path)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

} // namespace

struct VirtualBus::Impl {
    explicit Impl(BusOptions busOptions)
        : options(std::move(busOptions)), rng(options.seed), framer(options.frameGapMs)
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
        for (const auto &device : devices)
            if (device->Address() == address)
                return device.get();
        return nullptr;
    }

    // A number in [0, 1) from the seeded generator (the same run for the same seed).
    double Draw() { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }

    void Wake() const
    {
        const uint8_t byte = 1;
        if (wake[1] >= 0 && ::write(wake[1], &byte, 1) < 0) {
            // The pipe is full: the thread has a wake-up pending anyway.
        }
    }

    void Run();
    void OnRequest(RequestFramer::Kind kind, const uint8_t *bytes, size_t length,
                   SteadyClock::time_point at);
    void ScheduleReply(Actuator &device, uint8_t address, const std::vector<uint8_t> &pdu,
                       SteadyClock::time_point at);
    void SendDueReplies(SteadyClock::time_point now);
    void Log(bool fromMaster, const uint8_t *bytes, size_t length, SteadyClock::time_point at,
             const char *note);
    void CloseMaster();
    void RemoveLink();

    BusOptions options;
    const SteadyClock::time_point origin = SteadyClock::now();

    mutable std::mutex mutex;                 // everything below, except as marked
    mutable std::condition_variable changed;  // a frame heard, the master closed
    // Reading a register advances the motion, so even const accessors change them.
    mutable std::vector<std::unique_ptr<Actuator>> devices;
    std::mt19937_64 rng;
    std::deque<LoggedFrame> log;
    size_t framesHeard = 0;
    FILE *logFile = nullptr;
    std::string devicePath;
    std::string linkPath;
    bool unplugRequested = false;

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
    std::deque<Pending> pending; // by due time
};

void VirtualBus::Impl::Run()
{
    std::array<uint8_t, 512> chunk;
    auto sink = [this](SteadyClock::time_point at) {
        return [this, at](RequestFramer::Kind kind, const uint8_t *bytes, size_t length) {
            OnRequest(kind, bytes, length, at);
        };
    };
    while (!stopping) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (unplugRequested) {
                CloseMaster();
                unplugRequested = false;
                changed.notify_all();
            }
        }

        // Sleep until a byte comes, a reply falls due or a partial frame's gap ends.
        auto now = SteadyClock::now();
        auto until = now + IdleWake;
        if (const auto gapEnd = framer.Deadline())
            until = std::min(until, origin + std::chrono::duration_cast<SteadyClock::duration>(
                                                 std::chrono::duration<double, std::milli>(*gapEnd)));
        if (!pending.empty())
            until = std::min(until, pending.front().due);
        const auto wait = std::max(until - now, SteadyClock::duration::zero());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd fds[2] = {{wake[0], POLLIN, 0}, {masterFd, POLLIN, 0}};
        if (::ppoll(fds, masterFd >= 0 ? 2 : 1, &timeout, nullptr) < 0 && errno != EINTR)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));

        if (fds[0].revents & POLLIN)
            while (::read(wake[0], chunk.data(), chunk.size()) > 0) {
            }
        now = SteadyClock::now();
        if (masterFd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::read(masterFd, chunk.data(), chunk.size());
            if (n > 0) {
                std::lock_guard<std::mutex> lock(mutex);
                framer.Feed(chunk.data(), static_cast<size_t>(n), RealMs(now), sink(now));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // Nothing to read but a hang-up or error state: do not spin on it.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            framer.Expire(RealMs(now), sink(now));
        }
        SendDueReplies(now);
    }
}

// One request frame (or a piece of line noise) heard from the master.
void VirtualBus::Impl::OnRequest(RequestFramer::Kind kind, const uint8_t *bytes, size_t length,
                                 SteadyClock::time_point at)
{
    const char *note = nullptr;
    if (kind == RequestFramer::Kind::Dropped) {
        // Bytes as long as their function code says, or up to the gap for a
        // function without a fixed length: a frame but for its CRC.
        const bool wholeFrame = RequestLength(bytes, length) == length || (length >= 4 && !LengthIsFixed(bytes[1]));
        note = wholeFrame ? "bad CRC, ignored" : "no frame in these bytes, dropped";
    } else {
        const uint8_t address = bytes[0];
        const uint8_t *pdu = bytes + 1;
        const size_t pduLength = length - 3; // less address and CRC
        const double simMs = RealMs(at) * options.timeScale;
        auto hears = [this](const Actuator &device) {
            const Faults &f = device.faults();
            return !f.silent && !(f.silentProbability > 0 && Draw() < f.silentProbability);
        };
        if (address == BroadcastAddress) {
            note = "broadcast";
            for (const auto &device : devices)
                if (hears(*device))
                    device->Handle(pdu, pduLength, simMs, true);
        } else {
            // Taken before any of them acts: an address change must not add or drop one.
            std::vector<Actuator *> addressed;
            for (const auto &device : devices)
                if (device->Address() == address)
                    addressed.push_back(device.get());
            if (addressed.empty())
                note = "no device at this address";
            for (Actuator *device : addressed) {
                if (!hears(*device)) {
                    note = "device silent";
                    continue;
                }
                if (auto reply = device->Handle(pdu, pduLength, simMs, false))
                    ScheduleReply(*device, address, *reply, at);
            }
        }
    }
    Log(true, bytes, length, at, note);
}

// Frames the reply (address, PDU, CRC low, CRC high), applies the device's
// faults to it and queues it for its time.
void VirtualBus::Impl::ScheduleReply(Actuator &device, uint8_t address, const std::vector<uint8_t> &pdu,
                                     SteadyClock::time_point at)
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
    const bool corrupt = (f.corruptCrcEveryN != 0 && number % f.corruptCrcEveryN == 0) ||
                         (f.corruptCrcProbability > 0 && Draw() < f.corruptCrcProbability);
    if (corrupt)
        frame.back() ^= 0xFF; // the CRC's high byte, inverted: never the right one

    if (pending.size() >= MaxPendingReplies)
        return; // nobody reads them; a real slave would have given up too
    const auto due = at + std::chrono::milliseconds(f.replyDelayMs);
    auto place = std::upper_bound(pending.begin(), pending.end(), due,
                                  [](SteadyClock::time_point t, const Pending &p) { return t < p.due; });
    pending.insert(place, Pending{due, std::move(frame)});
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
        Log(false, reply.bytes.data(), reply.bytes.size(), SteadyClock::now(), note);
    }
}

// The caller holds the mutex. File lines read
//   "   1234.567 M>S 01 03 00 1F 00 01 B5 CD" (ms since start, direction, bytes)
// with "; note" after frames that were not answered normally.
void VirtualBus::Impl::Log(bool fromMaster, const uint8_t *bytes, size_t length,
                           SteadyClock::time_point at, const char *note)
{
    const double ms = RealMs(at);
    if (log.size() >= MaxLoggedFrames)
        log.pop_front();
    log.push_back(LoggedFrame{static_cast<uint64_t>(ms), fromMaster, std::vector<uint8_t>(bytes, bytes + length)});
    if (fromMaster) {
        ++framesHeard;
        changed.notify_all();
    }
    if (logFile) {
        std::fprintf(logFile, "%11.3f %s", ms, fromMaster ? "M>S" : "S>M");
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
    if (device.address == BroadcastAddress || device.address > MaxSlaveAddress || impl_->Find(device.address))
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
    impl_->devices.push_back(std::make_unique<Actuator>(device, name, timing));
    return true;
}

bool VirtualBus::Start()
{
    Impl &d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.thread.joinable())
        return true;

    // Raw from creation: a cooked slave would eat 0x03 as ^C and turn 0x0D into 0x0A.
    termios raw{};
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
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
        std::fprintf(d.logFile, "# lumo-sim on %s: ms since start, M>S heard from the master, S>M sent\n", name);
        std::fflush(d.logFile);
    }
    d.devicePath = name;
    d.framer.Reset();
    d.pending.clear();
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
    if (Actuator *device = impl_->Find(address))
        device->SetHolding(reg, value, impl_->SimMs());
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
