#pragma once
// One of several programs writing service records to one file at once, as
// the window and lumoctl do on a station: `count` motion events for `motor`
// as fast as they come, every tenth through a store opened for it alone (as
// each lumoctl command opens its own). Run in a child process: by fork() on
// POSIX, as lumo-records-writer.exe on Windows.
//
// Returns the child's exit status: 0 when every event went in, 21 the store
// did not open, 22 an event was refused, 23 the store reported a problem.
// What went wrong is written to stderr.

#include <cstdint>
#include <cstdio>
#include <string>

#include "records/RecordStore.h"

inline int WriteRecordsAsOneOfMany(const std::string &path, uint16_t motor, int count)
{
    using namespace records;
    RecordStore store(path);
    if (!store.IsOpen()) {
        std::fprintf(stderr, "%s\n", store.Problem().c_str());
        return 21;
    }
    for (int i = 0; i < count; ++i) {
        Event e;
        e.motorId = motor;
        e.address = 1;
        e.kind = EventKind::Motion;
        e.origin = {"line-3", "anna", "lumoctl", "/dev/ttyUSB0"};
        e.action = "step " + std::to_string(i);
        e.registers = ConfigWriteResults(2, Result::NoError);
        if (i % 10 == 9) {
            RecordStore once(path);
            if (once.Add(e) == 0) {
                std::fprintf(stderr, "%s%s\n", once.Problem().c_str(), once.WriteProblem().c_str());
                return 22;
            }
        } else if (store.Add(e) == 0) {
            std::fprintf(stderr, "%s\n", store.WriteProblem().c_str());
            return 22;
        }
    }
    return store.Problem().empty() ? 0 : 23;
}
