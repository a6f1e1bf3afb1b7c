// The whole bus at once on the virtual bus's line model: lumoctl's backup,
// diff and restore against their floors, and restores on a bad line.
//
// 1. backup of 16 actuators (addresses 1..16 of 1..127 scanned) at 115200
//    and 9600 baud behind a 16 ms adapter, against its floor: the same scan
//    and reads made back to back by the leanest reader (write a request,
//    poll(2) until its reply is whole, t3.5, the next). An address where
//    nobody answers costs the floor as long as it costs lumoctl: the time a
//    device is given to answer (the reply window) is the line's, not
//    overhead.
// 2. diff of the same 16 against the file, against the same floor.
// 3. restore with verify of 16 actuators that all differ (two registers
//    each), against the floor of the scan, the reads, the writes and the
//    read-backs.
// 4. N seeded restores of 4 actuators while replies are lost, corrupted or
//    late: no device may be reported restored whose registers differ from
//    the file, and every device left differing must be named.
//
//   busfile_bench [RESTORES]        (default 1000; the figures and the restores)
//   busfile_bench --short RESTORES  (the restores only: the test run's variant)
// Exit 1 when a restore claims a device it did not restore, or leaves one
// unnamed.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "BenchFigures.h"
#include "BusSession.h"
#include "ProcessRunner.h"
#include "VirtualBus.h"
#include "modbus/Frames.h"
#include "modbus/Registers.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

double MsSince(SteadyClock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
}

speed_t SpeedOf(uint32_t baud)
{
    switch (baud) {
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    default: return B115200;
    }
}

// The leanest reader: one request, its reply polled for until whole or
// until the reply window has passed, then only t3.5.
class LeanReader {
public:
    LeanReader(const std::string &path, uint32_t baud) : baud_(baud)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        cfmakeraw(&raw);
        raw.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&raw, SpeedOf(baud));
        cfsetospeed(&raw, SpeedOf(baud));
        ::tcsetattr(fd_, TCSANOW, &raw);
        gapUs_ = SilentIntervalUs(static_cast<int32_t>(baud));
    }
    ~LeanReader() { ::close(fd_); }

    // True when the whole reply came.
    bool Exchange(uint8_t address, uint8_t function, uint16_t reg, uint16_t countOrValue)
    {
        uint8_t request[8] = {address, function, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg & 0xFF),
                              static_cast<uint8_t>(countOrValue >> 8), static_cast<uint8_t>(countOrValue & 0xFF)};
        Rtu::AppendCrc(request, 6);
        const size_t expected = Rtu::ExpectedReplyLength(request, 8);
        const uint32_t windowMs = ReplyWindowMs(static_cast<int32_t>(baud_), request, 8);
        ::tcflush(fd_, TCIFLUSH);
        if (::write(fd_, request, 8) != 8)
            return false;
        const auto t0 = SteadyClock::now();
        size_t got = 0;
        while (got < expected) {
            const double left = windowMs - MsSince(t0);
            if (left <= 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left) + 1) <= 0)
                break;
            uint8_t buf[256];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        ::usleep(gapUs_);
        return got >= expected;
    }

private:
    int fd_ = -1;
    uint32_t baud_;
    uint32_t gapUs_ = 1750;
};

// The scan and reads of a backup or a diff; with `restore` also each
// device's two writes and its read-back.
double FloorMs(const std::string &path, uint32_t baud, bool restore)
{
    LeanReader lean(path, baud);
    const auto t0 = SteadyClock::now();
    for (int a = 1; a <= 127; ++a) {
        const uint8_t address = static_cast<uint8_t>(a);
        if (!lean.Exchange(address, Fc::ReadInput, Reg::MotorStatus, 2))
            continue;
        lean.Exchange(address, Fc::ReadInput, Reg::FwVersion, 2);
        lean.Exchange(address, Fc::ReadHolding, Reg::Name, 1);
        lean.Exchange(address, Fc::ReadHolding, Reg::BlockStart, Reg::BlockCount);
        if (restore) {
            lean.Exchange(address, Fc::WriteSingle, Reg::CurrentLimit, 5000);
            lean.Exchange(address, Fc::WriteSingle, Reg::SpeedPwm, 100);
            lean.Exchange(address, Fc::ReadHolding, Reg::BlockStart, Reg::BlockCount);
        }
    }
    return MsSince(t0);
}

ProcessResult Lumoctl(const std::vector<std::string> &args, double &ms)
{
    std::vector<std::string> argv{LUMOCTL_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto t0 = SteadyClock::now();
    Process process(argv);
    const ProcessResult r = process.Finish(600000);
    ms = MsSince(t0);
    return r;
}

void Unsettle(lumosim::VirtualBus &bus, uint8_t address)
{
    bus.SetHolding(address, Reg::CurrentLimit, 7000);
    bus.SetHolding(address, Reg::SpeedPwm, 60);
}

void Figures(const std::string &file)
{
    std::printf("16 actuators at 1..16, 1..127 scanned, 16 ms adapter\n");
    std::printf("%7s %-8s %10s %10s %7s %7s\n", "baud", "command", "floor ms", "lumoctl ms", "ratio", "limit");
    for (const uint32_t baud : {115200u, 9600u}) {
        lumosim::BusOptions options;
        options.baud = baud;
        lumosim::VirtualBus bus(options);
        for (int a = 1; a <= 16; ++a) {
            lumosim::DeviceOptions d;
            d.address = static_cast<uint8_t>(a);
            d.model = static_cast<uint16_t>(a % 3);
            bus.AddDevice(d);
        }
        if (!bus.Start())
            std::exit(1);
        const std::string port = bus.DevicePath(), rate = std::to_string(baud);
        const auto row = [&](const char *command, double floorMs, double ms, double limit) {
            std::printf("%7u %-8s %10.0f %10.0f %7.3f %7.1f\n", baud, command, floorMs, ms, ms / floorMs, limit);
        };
        // Each figure the median of three runs.
        std::vector<double> floors, backups, diffs;
        for (int i = 0; i < 3 || ((backups.empty() || diffs.empty()) && i < 6); ++i) {
            floors.push_back(FloorMs(port, baud, false));
            double ms = 0;
            // A run that lost a reply (a loaded machine) is said and not
            // counted; the figure is the median of the clean ones.
            ProcessResult r = Lumoctl({"--port", port, "--baud", rate, "--no-records", "backup", "-o", file}, ms);
            if (r.exitCode != 0) {
                std::fprintf(stderr, "backup at %u baud not clean, not counted: %s", baud, r.err.c_str());
                continue;
            }
            backups.push_back(ms);
            r = Lumoctl({"--port", port, "--baud", rate, "--no-records", "diff", file}, ms);
            if (r.exitCode != 0)
                std::fprintf(stderr, "diff at %u baud not clean, not counted: %s", baud, r.err.c_str());
            else
                diffs.push_back(ms);
        }
        row("backup", Median(floors), Median(backups), 1.5);
        row("diff", Median(floors), Median(diffs), 1.2);
        std::vector<double> restoreFloors, restores;
        for (int i = 0; i < 3 || (restores.empty() && i < 6); ++i) {
            for (int a = 1; a <= 16; ++a)
                Unsettle(bus, static_cast<uint8_t>(a));
            restoreFloors.push_back(FloorMs(port, baud, true));
            for (int a = 1; a <= 16; ++a)
                Unsettle(bus, static_cast<uint8_t>(a));
            double ms = 0;
            const ProcessResult r =
                Lumoctl({"--port", port, "--baud", rate, "--no-records", "restore", file}, ms);
            // A device left unverified (a reply lost on a loaded machine)
            // makes the run no measure of the clean restore.
            if (r.exitCode != 0) {
                std::fprintf(stderr, "restore at %u baud not clean, not counted: %s", baud, r.err.c_str());
                continue;
            }
            restores.push_back(ms);
        }
        row("restore", Median(restoreFloors), Median(restores), 1.5);
    }
}

// Restores on a line that loses, corrupts and delays replies.
int Restores(const std::string &file, long count)
{
    lumosim::BusOptions options;
    options.seed = 26;
    lumosim::VirtualBus bus(options);
    constexpr int kDevices = 4;
    for (int a = 1; a <= kDevices; ++a) {
        lumosim::DeviceOptions d;
        d.address = static_cast<uint8_t>(a);
        bus.AddDevice(d);
    }
    if (!bus.Start())
        return 1;
    double ms = 0;
    if (Lumoctl({"--port", bus.DevicePath(), "--no-records", "backup", "-o", file, "--to", "4"}, ms).exitCode != 0)
        return 1;
    std::mt19937 random(26);
    long falseRestored = 0, unnamed = 0, restored = 0, notRestored = 0, refusedWhole = 0;
    for (long run = 0; run < count; ++run) {
        for (int a = 1; a <= kDevices; ++a) {
            const uint8_t address = static_cast<uint8_t>(a);
            bus.SetFaults(address, {});
            bus.SetHolding(address, Reg::SpeedPwm, static_cast<uint16_t>(10 + random() % 90));
            bus.SetHolding(address, Reg::CurrentLimit, static_cast<uint16_t>(3000 + random() % 12000));
            lumosim::Faults f;
            f.silentProbability = 0.04;
            f.corruptCrcProbability = 0.04;
            // Late replies: a few land after the reply window, in the next
            // transaction's.
            f.replyDelayMs = random() % 4 == 0 ? static_cast<uint32_t>(random() % 60) : 0;
            bus.SetFaults(address, f);
        }
        const ProcessResult r = Lumoctl({"--port", bus.DevicePath(), "--no-records", "--json", "restore", file}, ms);
        for (int a = 1; a <= kDevices; ++a)
            bus.SetFaults(static_cast<uint8_t>(a), {});
        nlohmann::json doc;
        try {
            doc = nlohmann::json::parse(r.out);
        } catch (const nlohmann::json::exception &) {
            std::fprintf(stderr, "run %ld: no JSON document: %s\n", run, r.err.c_str());
            return 1;
        }
        std::set<int> named;
        for (const nlohmann::json &d : doc.value("devices", nlohmann::json::array())) {
            const int address = d["address"];
            const bool same = bus.Holding(static_cast<uint8_t>(address), Reg::SpeedPwm) == 100 &&
                              bus.Holding(static_cast<uint8_t>(address), Reg::CurrentLimit) == 5000;
            const std::string result = d.value("result", "");
            if (result == "restored" || result == "same") {
                ++restored;
                if (!same) {
                    ++falseRestored;
                    std::fprintf(stderr, "run %ld: device %d reported %s but differs\n", run, address,
                                 result.c_str());
                }
            } else {
                ++notRestored;
                named.insert(address);
            }
        }
        // A restore that could not read the bus whole writes nothing and
        // names the device it could not read.
        if (doc["devices"].is_null() || doc["devices"].empty()) {
            ++refusedWhole;
            const std::string message = doc.contains("error") ? doc["error"].value("message", "") : "";
            if (message.find("device") == std::string::npos && message.find("address ") == std::string::npos) {
                ++unnamed;
                std::fprintf(stderr, "run %ld: failed without naming a device: %s\n", run, message.c_str());
            }
            continue;
        }
        for (int a = 1; a <= kDevices; ++a) {
            const bool same = bus.Holding(static_cast<uint8_t>(a), Reg::SpeedPwm) == 100 &&
                              bus.Holding(static_cast<uint8_t>(a), Reg::CurrentLimit) == 5000;
            if (!same && named.count(a) == 0) {
                ++unnamed;
                std::fprintf(stderr, "run %ld: device %d differs and is not named\n", run, a);
            }
        }
    }
    std::printf("%ld restores of %d actuators (4 %% lost, 4 %% corrupted, a quarter of them up to 60 ms late):\n"
                "  devices restored %ld, not restored and named %ld, runs refused whole %ld;\n"
                "  false \"restored\" %ld, differing but unnamed %ld\n",
                count, kDevices, restored, notRestored, refusedWhole, falseRestored, unnamed);
    return falseRestored == 0 && unnamed == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string file = std::filesystem::temp_directory_path().string() + "/busfile_bench-" +
                             std::to_string(::getpid()) + ".lumobus";
    ::setenv("LUMO_RECORDS", "off", 1);
    int status = 0;
    if (argc >= 2 && std::strcmp(argv[1], "--short") == 0) {
        status = Restores(file, argc >= 3 ? std::atol(argv[2]) : 20);
    } else {
        Figures(file);
        status = Restores(file, argc >= 2 ? std::atol(argv[1]) : 1000);
    }
    std::filesystem::remove(file);
    return status;
}
