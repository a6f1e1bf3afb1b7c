#pragma once
// A session drawn from a seed: the bus (devices, rate, line faults) and the
// operator's actions with their pauses. The same seed gives the same
// session, so a failure can be replayed from the seed and the numbers of
// the actions it kept.

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "VirtualBus.h"
#include "modbus/Registers.h"

namespace sessions {

enum class Kind {
    Scan, Select, Up, Down, Go, StopButton, Esc, Disconnect, Connect, Tab, CycleTest, InTickStop, InTickUp,
    CliStatus, CliMoveUp, CliMoveStop, CliGoto, CliWrite, Unplug,
    ConfigWrite,    // the Actuators page: a Bus Devices row, "Read", a new speed, "Write"
    CliConfigWrite, // lumoctl config write of the device's configuration with a new speed
    Learn,          // the Actuators page: a Bus Devices row, "Learn"
    Diagnose,       // the Bus monitor's "Diagnose", the monitor closed after it
};

// lumoctl's actions (the window lets go of the port for them).
inline bool IsCli(Kind kind)
{
    return (kind >= Kind::CliStatus && kind <= Kind::CliWrite) || kind == Kind::CliConfigWrite;
}

// The mixes of actions a seed can draw: 1, the first (the seeds of the
// oldest replay rows were drawn from it); 2 adds configuration writes,
// learning and Diagnose.
inline constexpr int kFirstMix = 1;
inline constexpr int kLatestMix = 2;

struct Action {
    Kind kind;
    int arg = 0;     // list row, tab, target position, register value; by kind
    int pauseMs = 0; // the operator's pause after it
    int device = 0;  // lumoctl's device: an index into the plan's devices (modulo their count)
};

struct DevicePlan {
    lumosim::DeviceOptions options;
    uint16_t rearLimit = 0;
    uint16_t frontLimit = 1000;
    std::string faults; // in words, for the report
};

struct Plan {
    uint32_t seed = 0;
    uint32_t baud = 115200;
    bool echo = false;
    std::vector<DevicePlan> devices;
    std::vector<Action> actions;
};

std::string Describe(const Action &action);
std::string Describe(const Plan &plan); // the bus, one line

inline Plan Draw(uint32_t seed, int maxActions = 200, int mix = kLatestMix)
{
    std::mt19937 rng(seed);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
    Plan plan;
    plan.seed = seed;
    const uint32_t rates[] = {115200, 115200, 115200, 19200, 9600};
    plan.baud = rates[pick(0, 4)];
    plan.echo = chance(0.15);

    std::vector<uint8_t> addresses = {1, 2, 3, 4, 5, 6, 7, 8};
    std::shuffle(addresses.begin(), addresses.end(), rng);
    const int count = pick(1, 8);
    const uint16_t models[] = {Model::LumoD, Model::LumoP, Model::LumoB};
    for (int i = 0; i < count; ++i) {
        DevicePlan d;
        d.options.address = addresses[static_cast<size_t>(i)];
        d.options.model = models[pick(0, 2)];
        d.rearLimit = static_cast<uint16_t>(pick(0, 300));
        d.frontLimit = static_cast<uint16_t>(pick(600, 1000));
        lumosim::Faults &f = d.options.faults;
        switch (pick(0, 11)) {
        case 0: f.replyDelayMs = 20; d.faults = "late 20 ms"; break;
        case 1: f.replyDelayMs = static_cast<uint32_t>(pick(25, 80)); d.faults = "late " + std::to_string(f.replyDelayMs) + " ms"; break;
        case 2: f.silentProbability = 0.3; d.faults = "misses 30 %"; break;
        case 3: f.corruptCrcProbability = 0.2; d.faults = "bad checksum 20 %"; break;
        case 4: f.strayByteProbability = 0.3; d.faults = "stray byte 30 %"; break;
        case 5: f.bitErrorRate = 2e-4; d.faults = "noise"; break;
        case 6: f.lineBaud = plan.baud == 115200 ? 9600 : 115200; d.faults = "at " + std::to_string(f.lineBaud) + " baud"; break;
        case 7: f.silent = true; d.faults = "silent"; break;
        default: break;
        }
        plan.devices.push_back(d);
    }
    if (chance(0.1)) { // a wiring fault: a second device at a taken address
        DevicePlan twin = plan.devices[0];
        twin.options.sharesAddress = true;
        twin.options.name = static_cast<uint16_t>(0x6B00 + twin.options.address);
        twin.faults = "shares its address";
        plan.devices.push_back(twin);
    }

    const int n = std::min(maxActions, pick(20, 200));
    bool unplugged = false;
    plan.actions.push_back({Kind::Scan, 0, 100});
    plan.actions.push_back({Kind::Select, 0, 200});
    for (int i = 2; i < n; ++i) {
        Action a;
        // Mix 2 draws one more number per action, so its sessions differ
        // from mix 1's from the first; mix 1's stay exactly as they were.
        const int added = mix >= 2 ? pick(0, 99) : 100;
        const int roll = added < 12 ? -1 : pick(0, 99);
        if (added < 5) { a.kind = Kind::ConfigWrite; a.arg = pick(20, 100); }
        else if (added < 8) { a.kind = Kind::CliConfigWrite; a.arg = pick(20, 100); }
        else if (added < 10) { a.kind = Kind::Learn; a.arg = pick(0, 7); }
        else if (added < 12) a.kind = Kind::Diagnose;
        else if (roll < 6) a.kind = Kind::Scan;
        else if (roll < 14) { a.kind = Kind::Select; a.arg = pick(0, 7); }
        else if (roll < 24) a.kind = Kind::Up;
        else if (roll < 32) a.kind = Kind::Down;
        else if (roll < 40) { a.kind = Kind::Go; a.arg = pick(0, 1000); }
        else if (roll < 47) a.kind = Kind::StopButton;
        else if (roll < 56) a.kind = Kind::Esc;
        else if (roll < 60) a.kind = Kind::Disconnect;
        else if (roll < 65) a.kind = Kind::Connect;
        else if (roll < 70) { a.kind = Kind::Tab; a.arg = pick(0, 3); }
        else if (roll < 73) a.kind = Kind::CycleTest;
        else if (roll < 77) a.kind = Kind::InTickStop;
        else if (roll < 80) a.kind = Kind::InTickUp;
        else if (roll < 85) a.kind = Kind::CliStatus;
        else if (roll < 88) a.kind = Kind::CliMoveUp;
        else if (roll < 91) a.kind = Kind::CliMoveStop;
        else if (roll < 93) { a.kind = Kind::CliGoto; a.arg = pick(0, 1000); }
        else if (roll < 98) { a.kind = Kind::CliWrite; a.arg = pick(20, 100); }
        else if (!unplugged && i > n / 2 && chance(0.3)) { a.kind = Kind::Unplug; unplugged = true; }
        else a.kind = Kind::Esc;
        if (IsCli(a.kind))
            a.device = pick(0, 7);
        // Pauses as an operator makes them: mostly short, within a poll
        // period, sometimes long enough for a stroke to run on.
        const int p = pick(0, 9);
        a.pauseMs = p < 5 ? pick(0, 120) : p < 9 ? pick(120, 700) : pick(700, 2000);
        plan.actions.push_back(a);
    }
    return plan;
}

} // namespace sessions
