#pragma once
// How lumoctl reports: lines for people on stdout, or one JSON document per
// command for scripts; failures on stderr with the exit code that says what
// kind of failure it was.

#include <cstdint>
#include <ctime>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "modbus/ResultCode.h"

using Json = nlohmann::ordered_json;

// The process exit codes scripts can rely on.
enum Exit : int {
    ExitOk = 0,
    ExitBus = 1,   // the bus or a device failed (no reply, bad reply, refused write)
    ExitUsage = 2, // the command line or an input file was wrong; nothing was written to a device
    ExitPort = 3,  // the serial port could not be opened, or went away during the command
    ExitAddressTaken = 4, // set-address: something answers at the new address; nothing was written
    ExitDamaged = 5, // history, report: the records are damaged; what could be read was shown
};

// How one bus operation failed: its result code and, for an exception
// reply (0x4001), the exception code the device sent (0 when unknown).
struct BusError {
    ResultCode code = Result::NoError;
    uint8_t exception = 0;
};

// Ends a command. Thrown by the commands, caught once in main.
class Failure : public std::runtime_error {
public:
    Failure(int exitCode, const std::string &message, std::optional<BusError> bus = std::nullopt)
        : std::runtime_error(message), exitCode(exitCode), bus(bus)
    {
    }
    int exitCode;
    std::optional<BusError> bus; // set for a bus failure
};

[[noreturn]] void ThrowUsage(const std::string &message);
// "<what>: Read Data Wait... (0x2006)".
[[noreturn]] void ThrowBus(const std::string &what, const BusError &error);

// "0x2006": a result code or register as four upper-case hex digits.
std::string Hex4(uint32_t value);
// The text and value of a result code as the tool prints them:
// "Read Data Wait... (0x2006)", and for an exception reply also the
// exception: "unknow Error (0x4001), the device refused the request with
// Modbus exception 02 (illegal data address)".
std::string CodeText(const BusError &error);
// The "error" fields of a JSON document for it: code, codeHex, codeText,
// and for an exception reply exceptionCode and exceptionName (null for a
// code without a standard name).
void AddErrorFields(Json &error, const BusError &bus);

class Output {
public:
    explicit Output(bool json);

    bool json() const { return json_; }
    // The document of this command; printed by Finish in JSON mode.
    Json &doc() { return doc_; }

    // One line for people on stdout; nothing in JSON mode.
    void Say(const std::string &line) const;
    // A remark that does not stop the command: stderr in both modes, and
    // the "notes" list of the document.
    void Note(const std::string &line);
    // JSON mode: one compact document on its own line, flushed at once (a
    // --watch sample). Nothing for people.
    void EmitLine(const Json &document) const;

    // Standard output carries something else (a file's bytes): the lines
    // for people go to stderr instead.
    void SayOnStderr();

    // The command has printed its results as it went (EmitLine); Finish
    // then adds a line only for a failure.
    void SetStreamed() { streamed_ = true; }

    // Prints the document (JSON mode) with "ok" set, and the failure if any.
    void Finish(const Failure *failure);

private:
    bool json_;
    std::ostream *sayStream_;
    bool streamed_ = false;
    Json doc_ = Json::object();
};

// "address n of m" on the terminal while a scan runs; silent when stderr is
// not a terminal, so logs of a production line stay clean.
class ProgressLine {
public:
    ProgressLine();
    ~ProgressLine() { Clear(); }
    ProgressLine(const ProgressLine &) = delete;
    ProgressLine &operator=(const ProgressLine &) = delete;

    void Show(const std::string &text);
    void Clear();

private:
    bool enabled_;
    size_t shown_ = 0;
};

// True when `path` is "-" or names the very file, pipe or terminal that
// standard output is (/dev/stdout, /proc/self/fd/1, or the file stdout was
// redirected to): the bytes written there must not be mixed with lines.
bool NamesStandardOutput(const std::string &path);

// `t` as local time and as UTC (localtime_r and gmtime_r, or their _s
// forms on Windows).
std::tm LocalTm(std::time_t t);
std::tm UtcTm(std::time_t t);
