// lumo-sim: a virtual bus of LUMO actuators on a pseudo-terminal, for
// technicians without hardware, the demo and the end-to-end tests.

#include <csignal>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

#include <pthread.h>

#include "CommandLine.h"
#include "LumoVersion.h"
#include "Truth.h"
#include "VirtualBus.h"
#include "modbus/Registers.h"

namespace {

constexpr int ExitSetupFailed = 1;
constexpr int ExitBadOption = 2;

} // namespace

int main(int argc, char **argv)
{
    lumosim::CommandLine options;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (const std::string error = lumosim::ParseCommandLine(args, options); !error.empty()) {
        std::fprintf(stderr, "lumo-sim: %s\nTry 'lumo-sim --help' for the options.\n", error.c_str());
        return ExitBadOption;
    }
    if (options.help) {
        std::fputs(lumosim::UsageText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("lumo-sim %s\n", kLumoVersion);
        return 0;
    }

    // The signals are taken with sigwait below; blocked before the bus starts
    // its thread, so that no other thread gets them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    sigaddset(&stopSignals, SIGUSR1); // a power cycle, not a stop
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    lumosim::VirtualBus bus(options.bus);
    for (const auto &device : options.devices)
        bus.AddDevice(device); // addresses were checked while parsing
    if (!bus.Start()) {
        std::perror(options.bus.logPath.empty() ? "lumo-sim: cannot open a pseudo-terminal"
                                                : "lumo-sim: cannot open the pseudo-terminal or the log");
        return ExitSetupFailed;
    }
    if (!options.linkPath.empty() && !bus.MakeLink(options.linkPath)) {
        std::fprintf(stderr, "lumo-sim: cannot make the link %s (an existing file that is not a symlink "
                             "is never replaced)\n", options.linkPath.c_str());
        return ExitSetupFailed;
    }

    lumosim::TruthServer truth;
    if (!options.truthPath.empty() &&
        !truth.Start(options.truthPath, [&bus] { return lumosim::TruthJson(bus.Truth()); })) {
        std::fprintf(stderr, "lumo-sim: cannot serve the truth on %s (an existing file that is not a socket "
                             "is never replaced)\n", options.truthPath.c_str());
        return ExitSetupFailed;
    }

    // The first line is the one scripts wait for.
    std::printf("lumo-sim: serving %zu device%s on %s", options.devices.size(),
                options.devices.size() == 1 ? "" : "s", bus.DevicePath().c_str());
    if (!options.linkPath.empty())
        std::printf(" (link %s)", options.linkPath.c_str());
    std::printf("\n");
    for (uint8_t address : bus.Addresses()) {
        const uint16_t model = bus.Input(address, Reg::Model);
        const uint16_t firmware = bus.Input(address, Reg::FwVersion);
        std::printf("  address %3u: %-6s (model %u), motor ID %04X, firmware %02u.%02u\n", address,
                    std::string(Model::NameOf(model)).c_str(), model, bus.Holding(address, Reg::Name),
                    firmware >> 8, firmware & 0xFF);
    }
    std::fflush(stdout);

    int received = 0;
    for (;;) {
        sigwait(&stopSignals, &received);
        if (received != SIGUSR1)
            break;
        bus.PowerCycle();
        std::fprintf(stderr, "lumo-sim: power cycle\n");
    }
    truth.Stop();
    bus.Stop(); // removes the link
    std::fprintf(stderr, "lumo-sim: stopped (%s)\n", strsignal(received));
    return 0;
}
