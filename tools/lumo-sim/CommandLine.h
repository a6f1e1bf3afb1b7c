#pragma once
// The lumo-sim program's options, parsed into the library's own options so
// that what the program does can be tested without starting it.

#include <string>
#include <vector>

#include "VirtualBus.h"

namespace lumosim {

struct CommandLine {
    BusOptions bus;
    std::vector<DeviceOptions> devices; // the demo bus when no --device is given
    std::string linkPath;               // empty: no link
    std::string truthPath;              // the truth's socket; empty: none
    bool help = false;
    bool version = false;
};

// Parses the arguments after the program name. Returns a message naming the
// first bad argument, or an empty string when all are good.
std::string ParseCommandLine(const std::vector<std::string> &args, CommandLine &out);

// The text of --help.
std::string UsageText();

// LUMO-D at 1, LUMO-P at 5, LUMO-B at 9.
std::vector<DeviceOptions> DemoDevices();

} // namespace lumosim
