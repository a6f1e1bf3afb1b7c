#pragma once
// The .config file: the 22 bytes of one ActuatorConfig and nothing else.

#include <cstdint>
#include <ctime>
#include <string>

#include "config/ActuatorConfig.h"

namespace ConfigFile {
// File-dialog texts: the save dialog's filter, the open dialog's filter,
// and the extension the save dialog appends when the operator types none.
inline constexpr const char *ExportFilter = "Config file (*.config)";
inline constexpr const char *ImportFilter = "Setting file (*.config)";
inline constexpr const char *DefaultExtension = "config";
} // namespace ConfigFile

// The name the save dialog proposes, without extension:
// "LUMO_MID-0x002A_20240131-0905" for motor ID 0x2A at 09:05 on 31 Jan 2024.
std::string ProposedConfigFileName(uint16_t motorId, const std::tm &localTime);

// Paths are UTF-8 on Windows and passed unchanged elsewhere.

// Writes the record's 22 bytes to `path`. The kind of file at `path` never
// changes:
// - a new name or a regular file: the bytes go to a new file in the same
//   directory, which is flushed to disk and then renamed over `path`, so a
//   failure at any step leaves the old file as it was and never a truncated
//   one. A replaced file keeps its permissions.
// - a symbolic link: what it points to is written as above, and the link
//   stays (a link to a missing name creates the file it names).
// - a FIFO or a character device (/dev/null, /dev/stdout into a pipe): the
//   bytes are written to it directly. A FIFO that nobody reads fails at once
//   (POSIX: ENXIO) rather than waiting for a reader.
// - a directory, a block device or a socket: refused.
// On Windows every name is written through the temporary file and rename.
// On failure returns false with the reason in `error` (the system's strerror
// text, or a sentence naming the kind of file refused), and no temporary
// file is left behind.
bool WriteConfigFile(const std::string &path, const ActuatorConfig &config, std::string &error);

enum class ImportStatus {
    Ok,         // exactly 22 bytes, copied into the record
    WrongSize,  // readable, but not 22 bytes long (or not a regular file)
    Unreadable, // could not be opened or read; `error` holds the system's reason
};

// Reads a .config file into `config`. Only the size is checked: any 22-byte
// file is taken, and its values are for validation to judge once shown.
// At most 23 bytes are read, whatever the file's size. `config` is changed
// only on Ok; `error` is set only on Unreadable.
ImportStatus ReadConfigFile(const std::string &path, ActuatorConfig &config, std::string &error);
