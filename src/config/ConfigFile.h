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

// Writes the record's 22 bytes to `path` through WriteWholeFile
// (config/SafeFile.h): the file is written whole or not at all, a link stays
// a link, a FIFO or character device gets the bytes directly, and a
// directory, block device or socket is refused. On failure returns false
// with the reason in `error`.
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
