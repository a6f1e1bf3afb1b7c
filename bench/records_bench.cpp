// What the service records cost.
//
// 1. Adding one configuration-write event (before, after, nine register
//    results) to a store on disk, in its own transaction: the time recording
//    adds to a workflow. Median, 90th percentile and worst of ADDS adds.
// 2. Opening a motor's history of EVENTS events: a store with that many
//    events of one motor (every kind in turn) among events of other motors,
//    then a new RecordStore and History() of the motor, newest first, all
//    events, as the history window and `lumoctl history` do.
// 3. lumoctl on the virtual bus's line model (115200 baud, 16 ms adapter),
//    RUNS times each with and without records: `info`, which has read the
//    motor ID itself, and `config write`, which reads it once more for the
//    records.
//
//   records_bench [EVENTS] [ADDS] [RUNS]      (default 100000 2000 15)
//
// The files go into a scratch folder under /tmp, removed at the end unless
// KEEP is set (to look at them with sqlite3).
//
// Exit 1 when a store does not give back what was put in.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "BenchFigures.h"
#include "VirtualBus.h"
#include "config/ConfigTransfer.h"
#include "modbus/Registers.h"
#include "records/RecordStore.h"

namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;
using namespace records;

double MsSince(SteadyClock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
}


ActuatorConfig Config(uint16_t stroke)
{
    ActuatorConfig c;
    c.MaxPos = stroke;
    c.FrontLimit = stroke;
    c.CurrentLimit = 5000;
    c.SpeedPwm = 100;
    c.SettingFlag = 3;
    c.VoltageOut = 4095;
    return c;
}

// The i-th event of a motor's long life: every kind in turn, a
// configuration write with its nine register results among them.
Event LifeEvent(long i, uint16_t motorId, int64_t timeMs)
{
    Event e;
    e.timeMs = timeMs;
    e.motorId = motorId;
    e.address = static_cast<uint8_t>(1 + i % 100);
    e.kind = static_cast<EventKind>(i % 9);
    e.origin = {"line-3", "anna", "lumoctl", "/dev/ttyUSB0"};
    e.model = 0;
    switch (e.kind) {
    case EventKind::DeviceSeen: e.firmware = 0x0102; break;
    case EventKind::ConfigRead: e.config = Config(1000); break;
    case EventKind::ConfigWrite:
        e.before = Config(1000);
        e.config = Config(static_cast<uint16_t>(1000 + i % 500));
        e.registers = ConfigWriteResults(kConfigWriteOrder.size(), Result::NoError);
        e.file = "reference.config";
        break;
    case EventKind::AddressChange: e.newAddress = 7; break;
    case EventKind::Learning: e.stroke = 980; break;
    case EventKind::Motion: e.action = "goto 600"; e.position = 600; e.detail = "go to 600 done"; break;
    case EventKind::CycleTest: e.steps = 200; break;
    case EventKind::ConfigImport:
    case EventKind::ConfigExport: e.config = Config(1500); e.file = "reference.config"; break;
    }
    return e;
}

bool AddTimes(const std::string &path, long adds)
{
    RecordStore store(path);
    if (!store.IsOpen()) {
        std::printf("cannot open %s: %s\n", path.c_str(), store.Problem().c_str());
        return false;
    }
    std::vector<double> times;
    for (long i = 0; i < adds; ++i) {
        Event e = LifeEvent(2, 0x1234, 0); // a configuration write, stamped now
        const auto t0 = SteadyClock::now();
        const int64_t id = store.Add(e);
        times.push_back(MsSince(t0));
        if (id == 0) {
            std::printf("add %ld failed: %s\n", i, store.Problem().c_str());
            return false;
        }
    }
    std::printf("Add() of a configuration write, %ld adds: median %.3f ms, 90th percentile %.3f ms, worst %.3f ms "
                "(target: median under 1 ms)\n",
                adds, Percentile(times, 0.5), Percentile(times, 0.9), Percentile(times, 1.0));
    return true;
}

bool HistoryTimes(const std::string &path, long events)
{
    constexpr uint16_t kMotor = 0x5A05;
    const long others = std::max(1L, events / 10);
    {
        RecordStore store(path);
        const auto t0 = SteadyClock::now();
        const int64_t start = 1'700'000'000'000;
        for (long i = 0; i < events + others; ++i) {
            // One event in eleven belongs to another motor.
            const bool other = i % 11 == 10 && others > 0;
            if (store.Add(LifeEvent(i, other ? static_cast<uint16_t>(0x6000 + i % 50) : kMotor, start + i)) == 0) {
                std::printf("filling failed: %s\n", store.Problem().c_str());
                return false;
            }
        }
        std::printf("Filled a store with %ld events in %.1f s (%s, %.1f MB)\n", events + others,
                    MsSince(t0) / 1000, path.c_str(), static_cast<double>(fs::file_size(path)) / 1e6);
    }
    HistoryQuery query;
    query.motorId = kMotor;
    std::vector<double> times;
    size_t count = 0;
    for (int run = 0; run < 7; ++run) {
        const auto t0 = SteadyClock::now();
        RecordStore store(path);
        const std::vector<Event> history = store.History(query);
        times.push_back(MsSince(t0));
        count = history.size();
        if (history.empty() || history.front().timeMs < history.back().timeMs) {
            std::printf("the history is empty or not newest first\n");
            return false;
        }
    }
    std::printf("Open + History() of one motor, %zu events newest first: median %.1f ms, first %.1f ms, worst "
                "%.1f ms of %zu runs (target: under 200 ms)\n",
                count, Percentile(times, 0.5), times.front(), Percentile(times, 1.0), times.size());
    return true;
}

double CommandMs(const std::vector<std::string> &args)
{
    const auto t0 = SteadyClock::now();
    Process process(args);
    const ProcessResult r = process.Finish(60000);
    const double ms = MsSince(t0);
    if (r.exitCode != 0) {
        std::printf("%s failed: %s\n", args[3].c_str(), r.err.c_str());
        std::exit(1);
    }
    return ms;
}

void LumoctlTimes(const std::string &records, const std::string &configFile, long runs)
{
    lumosim::BusOptions options; // the line model: 115200 baud, 16 ms adapter latency
    lumosim::VirtualBus bus(options);
    lumosim::DeviceOptions device;
    device.address = 5;
    bus.AddDevice(device);
    if (!bus.Start())
        std::exit(1);
    std::printf("\nlumoctl on the line model (115200 baud, 16 ms adapter), median of %ld runs, whole process\n",
                runs);
    std::printf("%-14s %14s %14s %10s\n", "command", "no records ms", "records ms", "added ms");
    const std::vector<std::vector<std::string>> commands = {{"info", "5"}, {"config", "write", "5", configFile}};
    for (const auto &command : commands) {
        std::vector<double> without, with;
        for (long i = 0; i < runs; ++i) {
            std::vector<std::string> off = {LUMOCTL_PROGRAM, "--port", bus.DevicePath(), "--no-records"};
            std::vector<std::string> on = {LUMOCTL_PROGRAM, "--port", bus.DevicePath(), "--records", records};
            off.insert(off.end(), command.begin(), command.end());
            on.insert(on.end(), command.begin(), command.end());
            without.push_back(CommandMs(off));
            with.push_back(CommandMs(on));
        }
        const double a = Percentile(without, 0.5), b = Percentile(with, 0.5);
        std::printf("%-14s %14.1f %14.1f %10.1f\n", (command[0] + (command.size() > 2 ? " " + command[1] : "")).c_str(),
                    a, b, b - a);
    }
}

} // namespace

int main(int argc, char **argv)
{
    const long events = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100000;
    const long adds = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 2000;
    const long runs = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 15;

    char name[] = "/tmp/lumo-records-bench-XXXXXX";
    if (::mkdtemp(name) == nullptr)
        return 1;
    const fs::path dir = name;
    bool ok = AddTimes((dir / "adds.sqlite").string(), adds) && HistoryTimes((dir / "history.sqlite").string(), events);
    if (ok && runs > 0) {
        const ActuatorConfig c = Config(1200);
        const auto bytes = ToFileBytes(c);
        const std::string file = (dir / "bench.config").string();
        std::FILE *f = std::fopen(file.c_str(), "wb");
        ok = f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        if (f != nullptr)
            std::fclose(f);
        if (ok)
            LumoctlTimes((dir / "lumoctl.sqlite").string(), file, runs);
    }
    if (!std::getenv("KEEP")) fs::remove_all(dir);
    return ok ? 0 : 1;
}
