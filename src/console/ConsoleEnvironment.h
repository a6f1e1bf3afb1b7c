#pragma once
// What the main window is given from outside: time, the operator's dialogs,
// serial discovery, timer intervals and the wait dialog. Every member has a
// production default; tests replace what they need.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Clock;
class C_USBDevice;
class UserDialogs;
class WaitDialog;

struct ConsoleTimings {
    int scanTickMs = 500;          // pause between two scan probes
    int statusPollMs = 300;        // Control page status poll
    int learnWatchMs = 200;        // stroke-learning watch
    int cycleTestFirstStepMs = 100; // "start" to the first cycle-test step
    int cycleTestSecondMs = 1000;  // one unit of the cycle-test spinner
    int portWatchMs = 500;         // serial device arrival and removal
};

struct ConsoleEnvironment {
    Clock *clock = nullptr;          // null: the system clock
    UserDialogs *dialogs = nullptr;  // null: real message boxes and file dialogs
    // Builds the adapter finder; empty: the running system's.
    std::function<std::unique_ptr<C_USBDevice>()> makeAdapterFinder;
    // Lists the serial ports; empty: the running system's (ReadSerialPorts).
    std::function<bool(std::vector<std::string> *)> readSerialPorts;
    ConsoleTimings timings;
    WaitDialog *waitDialog = nullptr; // may be set later with SetWaitDialog
    // The addresses the Bus monitor's Diagnose probes at each rate. All of
    // them take about 25 s; a shorter range (tests, a known small bus) is
    // faster.
    uint8_t doctorFirstAddress = 1;
    uint8_t doctorLastAddress = 127;
    // The addresses the Bus backup's "Back up..." reads.
    uint8_t busBackupFirstAddress = 1;
    uint8_t busBackupLastAddress = 127;
    // The service records' file. Unset: records::DefaultRecordsPath()
    // ($LUMO_RECORDS, else the user's data folder); empty: no records.
    std::optional<std::string> recordsPath;
};
