#pragma once
// The whole bus at once: backup, diff and restore against a bus file.

#include <string>
#include <vector>

#include "Commands.h"

// A fast scan of from..to (default 1 to 127), then each device's identity
// and configuration, saved to `file`. Nothing is written to a device; no
// file is written unless every device found was read whole.
void RunBackup(Output &out, const PortOptions &port, const std::string &file, const std::string &from,
               const std::string &to);

// The bus now against `file`, over the addresses the file was taken from.
// Exit 0 when every device is the same, 1 when anything differs.
void RunDiff(Output &out, const PortOptions &port, const std::string &file);

// Writes each differing device of `file` back and reads it back to verify.
// `only`: the file's addresses to restore (all when empty). A replaced
// unit only with `replaced`; BaudRate only where it equals the device's
// rate, or with `withBaud`.
void RunRestore(Output &out, const PortOptions &port, const std::string &file, const std::vector<std::string> &only,
                bool replaced, bool withBaud);

// Gives the unit at `address` the last known configuration of the unit the
// service records last saw there (same station and port), then verifies.
void RunRestoreFromRecords(Output &out, const PortOptions &port, const std::string &address, bool withBaud);
