// lumoctl: the LUMO actuator service tool for scripts, production lines and
// machines without a display. The same core as the window; only the front
// end differs.

#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "BusCommands.h"
#include "BusSession.h"
#include "Commands.h"
#include "LumoVersion.h"
#include "Output.h"
#include "Records.h"
#ifdef LUMOCTL_REPORT
#include "ReportCommand.h"
#endif

namespace {

constexpr const char *kDescription =
    "lumoctl - the LUMO actuator service tool for the command line.\n"
    "Exit codes: 0 success, 1 bus or device failure (doctor: a problem found), 2 usage or input error,\n"
    "3 port cannot be opened or lost during the command, 4 set-address: something answers at the new\n"
    "address, 5 history, report: the service records are damaged.";

bool WantsJson(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--json") == 0)
            return true;
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{kDescription, "lumoctl"};
    // Options of the program may also follow the command: "scan --port P".
    app.fallthrough();
    app.require_subcommand(1);
    // "lumoctl <version>"; answered before the check for a command.
    app.set_version_flag("--version", std::string("lumoctl ") + kLumoVersion, "print the version and exit");

    PortOptions port;
    bool json = false;
    app.add_option("-p,--port", port.port,
                   "serial port: a device path (/dev/ttyUSB0), a name in /dev (ttyUSB0) or an entry of 'ports'");
    app.add_option("-b,--baud", port.baud, "baud rate of the bus")
        ->check(CLI::IsMember({115200, 4800, 9600, 19200}))
        ->default_val(115200);
    app.add_option("--tries", port.tries, "attempts per bus operation")->check(CLI::Range(1, 5))->default_val(3);
    app.add_option("--echo", port.echo,
                   "auto: learn whether the adapter gives back what it sends (default); on: it does; off: it does not")
        ->transform(CLI::CheckedTransformer(
            std::map<std::string, EchoMode>{{"auto", EchoMode::Auto}, {"on", EchoMode::On}, {"off", EchoMode::Off}}))
        ->default_str("auto");
    app.add_flag("--json", json, "print one JSON document per command");
    bool trace = false, frames = false;
    app.add_flag("--trace", trace, "print every frame on the line, decoded, on stderr (the output stays the same)");
    app.add_flag("--frames", frames, "with --json: add the frames on the line to the document");
    std::string recordsPath;
    bool noRecords = false;
    CLI::Option *recordsOption = app.add_option(
        "--records", recordsPath,
        "service records file (default: $LUMO_RECORDS, else $XDG_DATA_HOME/lumo-service-tool/records.sqlite)");
    app.add_flag("--no-records", noRecords, "record nothing in the service records")->excludes(recordsOption);

    CLI::App *ports = app.add_subcommand("ports", "list the serial ports and the recognised USB-serial adapters");

    std::string scanFrom, scanTo;
    CLI::App *scan = app.add_subcommand("scan", "list the addresses that answer, with their model");
    scan->add_option("--from", scanFrom, "first address (default 1)");
    scan->add_option("--to", scanTo, "last address (default 127)");

    std::string address;
    CLI::App *info = app.add_subcommand("info", "model, motor ID and firmware version of one actuator");
    info->add_option("address", address, "bus address, 1 to 127")->required();

    bool watch = false;
    CLI::App *status = app.add_subcommand("status", "position, current, motion state and status flags");
    status->add_option("address", address, "bus address, 1 to 127")->required();
    status->add_flag("--watch", watch, "a sample every 300 ms (start to start) until interrupted");

    std::string file;
    CLI::App *config = app.add_subcommand("config", "read, write or show a configuration (.config file)");
    config->require_subcommand(1);
    CLI::App *configRead = config->add_subcommand("read", "read an actuator's configuration");
    configRead->add_option("address", address, "bus address, 1 to 127")->required();
    configRead->add_option("-o,--output", file,
                           "save it as a .config file (a directory: a proposed name in it; -: standard output)");
    CLI::App *configWrite = config->add_subcommand("write", "check a .config file, then write it to an actuator");
    configWrite->add_option("address", address, "bus address, 1 to 127")->required();
    configWrite->add_option("file", file, ".config file")->required();
    CLI::App *configShow = config->add_subcommand("show", "show and check a .config file (no bus needed)");
    configShow->add_option("file", file, ".config file")->required();

    std::string action, position, timeout;
    bool wait = false;
    CLI::App *move = app.add_subcommand("move", "move up, down, stop, or go to a position");
    move->add_option("address", address, "bus address, 1 to 127")->required();
    move->add_option("action", action, "up, down, stop or goto")
        ->required()
        ->check(CLI::IsMember({"up", "down", "stop", "goto"}));
    move->add_option("position", position, "target position for goto, in steps");
    move->add_flag("--wait", wait, "poll until the actuator stops, then report where");
    move->add_option("--timeout", timeout, "with --wait: seconds before stopping it and failing (default 120)");

    CLI::App *learn = app.add_subcommand("learn", "let an actuator learn its stroke");
    learn->add_option("address", address, "bus address, 1 to 127")->required();
    learn->add_flag("--wait", wait, "follow the learning, then show the learned configuration");
    learn->add_option("--timeout", timeout, "with --wait: seconds before stopping it and failing (default 120)");

    std::string newAddress;
    bool noProbe = false;
    CLI::App *setAddress = app.add_subcommand("set-address", "give an actuator a new bus address");
    setAddress->add_option("old", address, "current address, 1 to 127")->required();
    setAddress->add_option("new", newAddress, "new address, 1 to 127")->required();
    setAddress->add_flag("--no-probe", noProbe, "do not check first that nobody answers at the new address");

    std::string motorId, historyAddress;
    CLI::App *history =
        app.add_subcommand("history", "what was done to an actuator, newest first, from the service records");
    history->add_option("motor", motorId, "motor ID, four hexadecimal digits (5A05)");
    history->add_option("--address", historyAddress, "instead of a motor ID: the events at this bus address");

#ifdef LUMOCTL_REPORT
    std::string reportMotor, reportFile, reportDay;
    CLI::App *report = app.add_subcommand("report", "an actuator's service report as a PDF of one or two pages");
    report->add_option("motor", reportMotor, "motor ID, four hexadecimal digits (5A05)")->required();
    report->add_option("-o,--output", reportFile, "the PDF file to write (-: standard output)")->required();
    report->add_option("--day", reportDay, "only the events of this day, YYYY-MM-DD (default: the whole history)");
#endif

    std::string listen;
    CLI::App *doctor = app.add_subcommand(
        "doctor", "diagnose the bus: other masters, echo, baud rates, noise, shared addresses, turnaround");
    doctor->add_option("--from", scanFrom, "first address (default 1)");
    doctor->add_option("--to", scanTo, "last address (default 127)");
    doctor->add_option("--listen", listen, "milliseconds to listen before sending anything (default 500)");

    std::string busFile, fromRecords;
    std::vector<std::string> onlyAddresses;
    bool restoreReplaced = false, withBaud = false;
    CLI::App *backup =
        app.add_subcommand("backup", "save every actuator's identity and configuration to a bus file");
    backup->add_option("-o,--output", busFile, "the bus file to write")->required();
    backup->add_option("--from", scanFrom, "first address (default 1)");
    backup->add_option("--to", scanTo, "last address (default 127)");
    CLI::App *diff = app.add_subcommand("diff", "compare the bus with a bus file (exit 1 when anything differs)");
    diff->add_option("file", busFile, "bus file")->required();
    CLI::App *restore = app.add_subcommand(
        "restore", "write each differing device's configuration from a bus file back, and verify it");
    restore->add_option("file", busFile, "bus file");
    restore->add_option("--only", onlyAddresses, "restore only these addresses of the file");
    restore->add_flag("--replaced", restoreReplaced, "also give a replaced unit the old unit's configuration");
    restore->add_flag("--with-baud", withBaud,
                      "also write BaudRate where it differs (the device changes rate at its next power-up)");
    restore->add_option("--from-records", fromRecords,
                        "instead of a file: give the unit at this address the configuration the service records "
                        "last knew for the unit seen there before");

    std::string function, reg, count;
    std::vector<std::string> values;
    CLI::App *raw = app.add_subcommand("raw", "one raw Modbus request, one attempt (numbers may be 0x hex)");
    raw->add_option("address", address, "slave address, 1 to 247")->required();
    raw->add_option("function", function, "0x03, 0x04, 0x06 or 0x10 (0x01 to test a refusal)")->required();
    raw->add_option("register", reg, "start register")->required();
    raw->add_option("count", count, "number of registers; for 0x06 the value (or 1, then the value)")->required();
    raw->add_option("values", values, "values to write (0x10, or 0x06 after a count of 1)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        Output out(WantsJson(argc, argv));
        std::string message = e.what();
        // Without a known command CLI11 only says that one is required;
        // name the word it did not know.
        const char *commands =
            "ports, scan, info, status, config, move, learn, set-address, raw, doctor, history, report, backup, diff, "
            "restore";
        if (app.get_subcommands().empty())
            message = app.remaining().empty()
                          ? std::string("a command is required (") + commands + ")"
                          : "unknown command '" + app.remaining().front() + "' (commands: " + commands + ")";
        else if (config->parsed() && config->get_subcommands().empty())
            message = app.remaining().empty()
                          ? std::string("config needs read, write or show")
                          : "unknown config command '" + app.remaining().front() + "' (read, write, show)";
        const Failure failure(ExitUsage, message);
        std::cerr << "lumoctl: " << message << "\nRun 'lumoctl --help' for the commands and their arguments.\n";
        out.Finish(&failure);
        return ExitUsage;
    }

    Output out(json);
    // --records, else the environment's or the user's data folder.
    if (noRecords)
        recordsPath.clear();
    else if (recordsOption->count() == 0)
        recordsPath = records::DefaultRecordsPath();
    Recorder recorder(recordsPath, out);
    port.records = &recorder;
    FrameTrace frameTrace(trace, frames);
    if (frameTrace.Active())
        port.trace = &frameTrace;
    // Frames seen so far go into the document, also that of a failure:
    // those are the ones worth looking at.
    auto addFrames = [&] {
        if (frames && json) {
            out.doc()["frames"] = frameTrace.TakeFrames();
            out.doc()["framesDropped"] = frameTrace.TakeDropped();
        }
    };
    // The document names its command even when the command fails early.
    for (const CLI::App *command : app.get_subcommands()) {
        std::string name = command->get_name();
        for (const CLI::App *sub : command->get_subcommands())
            name += " " + sub->get_name();
        out.doc()["command"] = name;
    }
    try {
        if (frames && !json)
            ThrowUsage("--frames is for --json (--trace shows the frames to people)");
        if (ports->parsed())
            RunPorts(out);
        else if (scan->parsed())
            RunScan(out, port, scanFrom, scanTo);
        else if (info->parsed())
            RunInfo(out, port, address);
        else if (status->parsed())
            RunStatus(out, port, address, watch);
        else if (configRead->parsed())
            RunConfigRead(out, port, address, file);
        else if (configWrite->parsed())
            RunConfigWrite(out, port, address, file);
        else if (configShow->parsed())
            RunConfigShow(out, file);
        else if (move->parsed())
            RunMove(out, port, address, action, position, wait, timeout);
        else if (learn->parsed())
            RunLearn(out, port, address, wait, timeout);
        else if (setAddress->parsed())
            RunSetAddress(out, port, address, newAddress, !noProbe);
        else if (raw->parsed())
            RunRaw(out, port, address, function, reg, count, values);
        else if (doctor->parsed())
            RunDoctorCommand(out, port, scanFrom, scanTo, listen);
        else if (backup->parsed())
            RunBackup(out, port, busFile, scanFrom, scanTo);
        else if (diff->parsed())
            RunDiff(out, port, busFile);
        else if (restore->parsed() && !fromRecords.empty()) {
            if (!busFile.empty() || !onlyAddresses.empty() || restoreReplaced)
                ThrowUsage("--from-records takes no bus file, --only or --replaced");
            RunRestoreFromRecords(out, port, fromRecords, withBaud);
        } else if (restore->parsed()) {
            if (busFile.empty())
                ThrowUsage("restore needs a bus file, or --from-records ADDR");
            RunRestore(out, port, busFile, onlyAddresses, restoreReplaced, withBaud);
        } else if (history->parsed())
            RunHistory(out, recordsPath, motorId, historyAddress);
#ifdef LUMOCTL_REPORT
        else if (report->parsed())
            RunReport(out, recordsPath, reportMotor, reportFile, reportDay);
#endif
    } catch (const Failure &thrown) {
        // A port that goes away in the middle of a command fails every
        // request with Port Error: that is the port's failure, not the
        // bus's, and the message says which port went.
        const bool lost = thrown.exitCode == ExitBus && thrown.bus && thrown.bus->code == Result::PortError;
        const Failure failure =
            lost ? Failure(ExitPort, std::string(thrown.what()) + "; " + LostPortText(port.port), thrown.bus) : thrown;
        std::cout.flush();
        std::cerr << "lumoctl: " << failure.what() << '\n';
        addFrames();
        out.Finish(&failure);
        return failure.exitCode;
    }
    addFrames();
    out.Finish(nullptr);
    return ExitOk;
}
