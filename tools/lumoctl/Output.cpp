#include "Output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

std::tm LocalTm(std::time_t t)
{
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &t);
#else
    localtime_r(&t, &local);
#endif
    return local;
}

std::tm UtcTm(std::time_t t)
{
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &t);
#else
    gmtime_r(&t, &utc);
#endif
    return utc;
}

bool NamesStandardOutput(const std::string &path)
{
    if (path == "-")
        return true;
#ifdef _WIN32
    return false;
#else
    struct stat named {};
    struct stat out {};
    return ::stat(path.c_str(), &named) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 && named.st_dev == out.st_dev &&
           named.st_ino == out.st_ino;
#endif
}

void ThrowUsage(const std::string &message)
{
    throw Failure(ExitUsage, message);
}

void ThrowBus(const std::string &what, const BusError &error)
{
    throw Failure(ExitBus, what + ": " + CodeText(error), error);
}

std::string Hex4(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

std::string CodeText(const BusError &error)
{
    std::string text = std::string(ResultText(error.code)) + " (" + Hex4(error.code) + ")";
    // The status-bar table has no text of its own for an exception reply;
    // which exception it was tells what the device objected to.
    if (error.code == Result::ExceptionReply) {
        if (error.exception == 0)
            return text + ", the device refused the request with a Modbus exception";
        char number[8];
        std::snprintf(number, sizeof number, "%02X", static_cast<unsigned>(error.exception));
        text += std::string(", the device refused the request with Modbus exception ") + number;
        if (const char *name = ExceptionName(error.exception))
            text += std::string(" (") + name + ")";
    }
    return text;
}

void AddErrorFields(Json &error, const BusError &bus)
{
    error["code"] = bus.code;
    error["codeHex"] = Hex4(bus.code);
    error["codeText"] = ResultText(bus.code);
    if (bus.code == Result::ExceptionReply && bus.exception != 0) {
        error["exceptionCode"] = bus.exception;
        const char *name = ExceptionName(bus.exception);
        error["exceptionName"] = name != nullptr ? Json(name) : Json(nullptr);
    }
}

Output::Output(bool json) : json_(json), sayStream_(&std::cout) {}

void Output::SayOnStderr()
{
    sayStream_ = &std::cerr;
}

void Output::Say(const std::string &line) const
{
    if (!json_)
        *sayStream_ << line << '\n';
}

void Output::Note(const std::string &line)
{
    std::cerr << "lumoctl: note: " << line << '\n';
    doc_["notes"].push_back(line);
}

namespace {

// Names of ports and files are bytes, not necessarily UTF-8; JSON strings
// must be UTF-8. A byte that is not part of valid UTF-8 is shown as U+FFFD
// rather than ending the program without its document.
std::string Dump(const Json &document, int indent)
{
    return document.dump(indent, ' ', false, Json::error_handler_t::replace);
}

} // namespace

void Output::EmitLine(const Json &document) const
{
    if (json_)
        std::cout << Dump(document, -1) << std::endl;
}

void Output::Finish(const Failure *failure)
{
    if (!json_ || (streamed_ && failure == nullptr)) {
        std::cout.flush();
        return;
    }
    Json out = Json::object();
    out["ok"] = failure == nullptr;
    for (auto it = doc_.begin(); it != doc_.end(); ++it)
        out[it.key()] = it.value();
    if (failure != nullptr) {
        Json error = Json::object();
        error["exitCode"] = failure->exitCode;
        error["message"] = failure->what();
        if (failure->bus)
            AddErrorFields(error, *failure->bus);
        out["error"] = error;
    }
    std::cout << Dump(out, streamed_ ? -1 : 2) << std::endl;
}

ProgressLine::ProgressLine() : enabled_(::isatty(STDERR_FILENO) == 1) {}

void ProgressLine::Show(const std::string &text)
{
    if (!enabled_)
        return;
    std::string line = "\r" + text;
    if (text.size() < shown_)
        line.append(shown_ - text.size(), ' ');
    std::cerr << line << std::flush;
    shown_ = text.size();
}

void ProgressLine::Clear()
{
    if (!enabled_ || shown_ == 0)
        return;
    std::cerr << '\r' << std::string(shown_, ' ') << '\r' << std::flush;
    shown_ = 0;
}
