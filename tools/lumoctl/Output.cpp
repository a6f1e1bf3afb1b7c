#include "Output.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

void ThrowUsage(const std::string &message)
{
    throw Failure(ExitUsage, message);
}

void ThrowBus(const std::string &what, ResultCode code)
{
    throw Failure(ExitBus, what + ": " + CodeText(code), code);
}

std::string Hex4(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

std::string CodeText(ResultCode code)
{
    std::string text = std::string(ResultText(code)) + " (" + Hex4(code) + ")";
    // The status-bar table has no text of its own for an exception reply.
    if (code == Result::ExceptionReply)
        text += ", the device refused the request with a Modbus exception";
    return text;
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

void Output::EmitLine(const Json &document) const
{
    if (json_)
        std::cout << document.dump() << std::endl;
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
        if (failure->code) {
            error["code"] = *failure->code;
            error["codeHex"] = Hex4(*failure->code);
            error["codeText"] = ResultText(*failure->code);
        }
        out["error"] = error;
    }
    if (streamed_)
        std::cout << out.dump() << std::endl;
    else
        std::cout << out.dump(2) << std::endl;
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
