#pragma once
// The commands of lumoctl. Each fills the command's document in `out` and
// prints its lines; a failure is thrown as a Failure with its exit code.

#include <cstdint>
#include <string>
#include <vector>

#include "FrameTrace.h"
#include "Output.h"
#include "modbus/RtuEngine.h"

class Recorder;

// The options every bus command shares.
struct PortOptions {
    std::string port;
    int32_t baud = 115200;
    int32_t tries = 3;
    EchoMode echo = EchoMode::Auto;
    // --trace / --frames: what the engine sees on the line; null without them.
    FrameTrace *trace = nullptr;
    FrameObserver Observer() const { return trace != nullptr ? trace->Observer() : FrameObserver{}; }
    // The service records; null or off: nothing is recorded.
    Recorder *records = nullptr;
    // The recorder while it keeps events, else null.
    Recorder *Recording() const;
};

void RunPorts(Output &out);
void RunScan(Output &out, const PortOptions &port, const std::string &from, const std::string &to);
void RunInfo(Output &out, const PortOptions &port, const std::string &address);
void RunStatus(Output &out, const PortOptions &port, const std::string &address, bool watch);
// action: up, down, stop or goto (with position).
void RunMove(Output &out, const PortOptions &port, const std::string &address, const std::string &action,
             const std::string &position, bool wait, const std::string &timeoutSeconds);
void RunLearn(Output &out, const PortOptions &port, const std::string &address, bool wait,
              const std::string &timeoutSeconds);
void RunSetAddress(Output &out, const PortOptions &port, const std::string &oldAddress, const std::string &newAddress,
                   bool probe);
// For 0x06 `count` may be the value itself, with no values after it.
void RunRaw(Output &out, const PortOptions &port, const std::string &address, const std::string &function,
            const std::string &reg, const std::string &count, const std::vector<std::string> &values);

// The bus doctor over the addresses from..to (default 1 to 127), listening
// listenMs (default 500) first. Exit 0 only when it finds no problem.
void RunDoctorCommand(Output &out, const PortOptions &port, const std::string &from, const std::string &to,
                      const std::string &listenMs);

void RunConfigRead(Output &out, const PortOptions &port, const std::string &address, const std::string &file);
void RunConfigWrite(Output &out, const PortOptions &port, const std::string &address, const std::string &file);
void RunConfigShow(Output &out, const std::string &file);

// Ctrl-C and SIGTERM set a flag instead of ending the process, so a watch
// can end cleanly and a wait can stop the actuator before it returns.
void CatchInterrupts();
bool Interrupted();
