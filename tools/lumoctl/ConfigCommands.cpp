// config read, config write and config show.

#include <array>
#include <ctime>
#include <iostream>
#include <string_view>
#include <filesystem>
#include <system_error>

#include "Arguments.h"
#include "BusSession.h"
#include "Commands.h"
#include "ConfigView.h"
#include "Records.h"
#include "config/ConfigFile.h"
#include "config/SafeFile.h"
#include "config/ConfigTransfer.h"
#include "modbus/Registers.h"

namespace {

std::string Device(uint8_t address)
{
    return "device " + std::to_string(address);
}

std::string Joined(const std::vector<std::string> &parts)
{
    std::string text;
    for (const std::string &part : parts)
        text += (text.empty() ? "" : "; ") + part;
    return text;
}

// Reads a .config file. A file of another size, or one that cannot be
// read, is an input error: nothing has been sent yet.
ActuatorConfig LoadFile(const std::string &path)
{
    ActuatorConfig record;
    std::string error;
    switch (ReadConfigFile(path, record, error)) {
    case ImportStatus::Ok:
        return record;
    case ImportStatus::Unreadable:
        ThrowUsage("cannot read " + path + ": " + error);
    case ImportStatus::WrongSize:
        break;
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        ThrowUsage(path + " is not a regular file");
    const auto size = std::filesystem::file_size(path, ec);
    ThrowUsage(path + " is " + (ec ? std::string("not") : std::to_string(size) + " bytes") +
               " long; a configuration file has exactly " + std::to_string(ConfigFileSize) + " bytes");
}

// Where `config read -o` puts the file: the path as given, or inside a
// directory the name the window's export proposes.
std::string OutputPath(const std::string &given)
{
    std::error_code ec;
    if (!std::filesystem::is_directory(given, ec))
        return given;
    const std::time_t now = std::time(nullptr);
    const std::tm local = LocalTm(now);
    const std::filesystem::path dir(given);
    return (dir / (ProposedConfigFileName(0, local) + "." + ConfigFile::DefaultExtension)).string();
}

void Describe(Output &out, const ConfigView &view)
{
    Json &doc = out.doc();
    doc["config"] = ConfigJson(view);
    doc["registers"] = RegistersJson(view.record);
    doc["valid"] = view.verdict.valid;
    doc["problems"] = view.problems;
    for (const std::string &line : ConfigLines(view))
        out.Say(line);
}

// A write from a file: the file's import, then the write with the values
// before it (the motor's last known configuration), after it, and each
// register's result.
void RecordWrite(const PortOptions &port, BusSession &bus, uint8_t address, uint16_t model,
                 const ActuatorConfig &fromFile, const ActuatorConfig &sent, size_t written, size_t taken,
                 const BusError &failure, const std::string &file, const std::string &detail)
{
    Recorder *records = port.Recording();
    const std::optional<uint16_t> motorId = records ? records->MotorId(bus, address, failure.code) : std::nullopt;
    if (!motorId)
        return;
    records::Event import = records->NewEvent(records::EventKind::ConfigImport, *motorId, address, bus);
    import.config = fromFile;
    import.file = file;
    records::Event write = records->NewEvent(records::EventKind::ConfigWrite, *motorId, address, bus);
    write.model = model;
    write.before = records->LastKnownConfig(*motorId);
    write.config = sent;
    // PosOffset is never written: the device keeps the one it had.
    if (write.before)
        write.config->PosOffset = write.before->PosOffset;
    // A register whose reply failed but which the read-back shows taken is
    // recorded as taken; the failure is then the write's alone.
    write.registers = records::ConfigWriteResults(written, taken, failure.code);
    write.result = failure.code;
    write.file = file;
    write.detail = detail;
    records->Add(import);
    records->Add(write);
}

} // namespace

void RunConfigRead(Output &out, const PortOptions &port, const std::string &addressText, const std::string &file)
{
    const uint8_t address = ParseAddress(addressText);
    // "-o -" (or a name for standard output itself, /dev/stdout): the
    // file's 22 bytes are standard output, so the description for people
    // moves to stderr; a JSON document would have no place.
    const bool toStdout = file == "-";
    const bool stdoutIsTheFile = NamesStandardOutput(file);
    if (stdoutIsTheFile && out.json())
        ThrowUsage("-o " + file + " puts the file on standard output, where --json puts its document; "
                   "give --json a file name instead");
    if (stdoutIsTheFile)
        out.SayOnStderr();
    BusSession bus(port.port, port.baud, port.tries, port.echo, port.Observer());
    Json &doc = out.doc();
    doc["command"] = "config read";
    doc["port"] = bus.portName();
    doc["baud"] = bus.baudRate();
    doc["address"] = address;

    // The model decides the voltage row and its rule, as the selected
    // device does on the configuration page.
    uint16_t model = 0;
    ResultCode code = bus.Attempt([&] { return bus.registers().ReadModel(address, model); });
    if (code != Result::NoError)
        ThrowBus("reading the model of " + Device(address), bus.ErrorOf(code));
    doc["model"] = std::string(Model::NameOf(model));
    doc["modelCode"] = model;

    bus.DrainInput();
    ActuatorConfig record;
    if (!ReadConfig(bus.registers(), address, &record, bus.transfer()))
        ThrowBus("reading the configuration of " + Device(address), bus.LastTransferError());
    const ConfigView view = ViewConfig(record, model);
    Describe(out, view);
    for (const std::string &problem : view.problems)
        out.Note(Device(address) + ": " + problem);

    Recorder *records = port.Recording();
    const std::optional<uint16_t> motorId = records ? records->MotorId(bus, address) : std::nullopt;
    if (motorId) {
        records::Event event = records->NewEvent(records::EventKind::ConfigRead, *motorId, address, bus);
        event.model = model;
        event.config = record;
        records->Add(event);
    }

    if (file.empty())
        return;
    // The file holds what the page would export after this read; a device
    // whose settings break the rules gives no file (the page could not
    // export them either, and a write would refuse them).
    if (!view.verdict.valid)
        throw Failure(ExitBus, "the configuration of " + Device(address) + " does not pass the checks (" +
                                   Joined(view.problems) + "); no file written");
    const ActuatorConfig gathered = GatheredRecord(view);
    for (const std::string &note : AdjustmentNotes(record, gathered, model))
        out.Note("in the file, " + note);
    const auto recordExport = [&](const std::string &name) {
        if (!motorId || !port.Recording())
            return;
        records::Event event =
            records->NewEvent(records::EventKind::ConfigExport, motorId.value_or(0), address, bus);
        event.config = gathered;
        event.file = name;
        records->Add(event);
    };
    std::cout.flush();
    if (toStdout) {
        const std::array<uint8_t, ConfigFileSize> bytes = ToFileBytes(gathered);
        std::string error;
        if (!WriteWholeFile("-", std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()), error,
                            WriteOptions{true}))
            throw Failure(ExitUsage, "cannot write the file to standard output: " + error);
        recordExport("-");
        return;
    }
    const std::string path = OutputPath(file);
    std::string error;
    if (!WriteConfigFile(path, gathered, error))
        ThrowUsage("cannot write " + path + ": " + error);
    recordExport(path);
    doc["file"] = path;
    doc["fileRegisters"] = RegistersJson(gathered);
    out.Say("Saved to " + path);
}

void RunConfigWrite(Output &out, const PortOptions &port, const std::string &addressText, const std::string &file)
{
    const uint8_t address = ParseAddress(addressText);
    // Everything that can be judged without the device is judged before
    // the port is even opened.
    const ActuatorConfig record = LoadFile(file);
    const ConfigView fileView = ViewConfig(record, Model::None);
    if (!fileView.verdict.valid)
        ThrowUsage(file + " does not pass the configuration checks: " + Joined(fileView.problems));

    BusSession bus(port.port, port.baud, port.tries, port.echo, port.Observer());
    Json &doc = out.doc();
    doc["command"] = "config write";
    doc["port"] = bus.portName();
    doc["baud"] = bus.baudRate();
    doc["address"] = address;
    doc["file"] = file;

    uint16_t model = 0;
    ResultCode code = bus.Attempt([&] { return bus.registers().ReadModel(address, model); });
    if (code != Result::NoError)
        ThrowBus("reading the model of " + Device(address), bus.ErrorOf(code));
    doc["model"] = std::string(Model::NameOf(model));
    doc["modelCode"] = model;

    // The one rule that depends on the target: a LUMO-P needs a voltage.
    const ConfigView view = ViewConfig(record, model);
    if (!view.verdict.valid)
        ThrowUsage(file + " cannot go to " + Device(address) + " (" + std::string(Model::NameOf(model)) +
                   "): " + Joined(view.problems));
    const ActuatorConfig gathered = GatheredRecord(view);
    for (const std::string &note : AdjustmentNotes(record, gathered, model))
        out.Note(note);

    size_t written = 0;
    const bool complete = WriteConfig(bus.registers(), address, &gathered, bus.transfer(), &written);
    // Taken before the records' read of the motor ID changes them.
    const BusError failure = bus.LastTransferError();
    std::string failed = "writing the configuration to " + Device(address) +
                         " (the registers written before the failure keep their new values)";
    size_t taken = written;
    if (!complete) {
        // The register the write stopped at may have been carried out with
        // its reply lost: read back, so that the record and the message say
        // what the device holds.
        taken = ReadBackFailedWrite(bus.registers(), address, gathered, written, bus.transfer()).taken;
        if (taken > written)
            failed += "; reading back shows it took " + std::string(kConfigWriteOrder[written]) + " as well";
    }
    RecordWrite(port, bus, address, model, record, gathered, written, taken, complete ? BusError{} : failure, file,
                complete ? std::string() : failed + ": " + CodeText(failure));
    if (!complete)
        ThrowBus(failed, failure);
    doc["config"] = ConfigJson(view);
    doc["registers"] = RegistersJson(gathered);
    out.Say("Wrote " + file + " to " + Device(address) + " (" + std::string(Model::NameOf(model)) + ")");
}

void RunConfigShow(Output &out, const std::string &file)
{
    const ActuatorConfig record = LoadFile(file);
    const ConfigView view = ViewConfig(record, Model::None);
    Json &doc = out.doc();
    doc["command"] = "config show";
    doc["file"] = file;
    Describe(out, view);
    if (!view.verdict.valid)
        ThrowUsage(file + " does not pass the configuration checks: " + Joined(view.problems));
    for (const std::string &note : AdjustmentNotes(record, GatheredRecord(view), Model::None))
        out.Note("when written, " + note);
}
