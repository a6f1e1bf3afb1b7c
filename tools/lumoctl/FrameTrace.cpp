#include "FrameTrace.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <utility>

#include "base/Clock.h"
#include "modbus/FrameDecoder.h"

std::string HexBytes(const std::vector<uint8_t> &bytes)
{
    std::string out;
    for (const uint8_t b : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(b));
        if (!out.empty())
            out += ' ';
        out += pair;
    }
    return out;
}

FrameTrace::FrameTrace(bool toStderr, bool keep, size_t maxKept)
    : toStderr_(toStderr), keep_(keep), maxKept_(std::max<size_t>(maxKept, 1)),
      startMs_(SystemClock::Instance().TickMs())
{
}

FrameObserver FrameTrace::Observer()
{
    if (!Active())
        return {};
    return [this](const FrameEvent &event) { OnFrame(event); };
}

void FrameTrace::Print(uint32_t ms, const std::string &text) const
{
    if (!toStderr_)
        return;
    // The engine's clock wraps like GetTickCount; the difference does not.
    char stamp[24];
    std::snprintf(stamp, sizeof stamp, "%6u ", static_cast<unsigned>(ms - startMs_));
    std::cerr << stamp << text << '\n';
}

void FrameTrace::Keep(const FrameEvent &event, const char *direction, const std::string &text)
{
    if (!keep_)
        return;
    Json entry = Json::object();
    entry["ms"] = event.ms - startMs_;
    entry["direction"] = direction;
    entry["address"] = event.address;
    entry["bytes"] = HexBytes({event.bytes.begin(), event.bytes.end()});
    entry["text"] = text;
    if (entries_.size() >= maxKept_) {
        entries_.pop_front();
        ++firstKept_;
        ++dropped_;
    }
    entries_.push_back(std::move(entry));
}

void FrameTrace::OnFrame(const FrameEvent &event)
{
    const std::vector<uint8_t> bytes(event.bytes.begin(), event.bytes.end());
    switch (event.kind) {
    case FrameKind::Request: {
        const std::string text = DecodeFrame(bytes, FrameDirection::ToSlave);
        Print(event.ms, text);
        if (!event.broadcast)
            open_.push_back({bytes, firstKept_ + entries_.size()});
        Keep(event, "request", text);
        return;
    }
    case FrameKind::Echo: {
        const std::string text = DecodeFrame(bytes, FrameDirection::ToSlave, DecodeContext{{}, true});
        Print(event.ms, text);
        Keep(event, "echo", text);
        return;
    }
    case FrameKind::Reply: {
        DecodeContext context;
        if (!open_.empty())
            context.request = open_.back().request;
        const std::string text = DecodeFrame(bytes, FrameDirection::FromSlave, context);
        Print(event.ms, text);
        Keep(event, "reply", text);
        return;
    }
    case FrameKind::Stale: {
        // A late reply to an earlier request, or another slave's frame:
        // shown, and never the answer.
        const std::string text = "stale " + DecodeFrame(bytes, FrameDirection::FromSlave);
        Print(event.ms, text);
        Keep(event, "stale", text);
        return;
    }
    case FrameKind::Finished: {
        // Silence leaves no frame to show, so a failed transaction gets a
        // line of its own: without it a trace of a dead address would look
        // like a request nobody cared about.
        if (event.result != Result::NoError) {
            char address[8];
            std::snprintf(address, sizeof address, "%02u", static_cast<unsigned>(event.address));
            Print(event.ms, std::string("end ") + address + " failed: " + CodeText(BusError{event.result, 0}));
        }
        if (open_.empty())
            return;
        // The frames of the transaction learn how it ended; those of a
        // settling read inside it have their own result already.
        const uint64_t first = std::max(open_.back().firstEntry, firstKept_);
        for (size_t i = static_cast<size_t>(first - firstKept_); i < entries_.size(); ++i) {
            Json &entry = entries_[i];
            if (!entry.contains("result")) {
                entry["result"] = event.result;
                entry["resultHex"] = Hex4(event.result);
            }
        }
        open_.pop_back();
        return;
    }
    }
}

Json FrameTrace::TakeFrames()
{
    Json taken = Json::array();
    for (Json &entry : entries_)
        taken.push_back(std::move(entry));
    // What is still open goes on in the next batch, from its front.
    firstKept_ += entries_.size();
    entries_.clear();
    return taken;
}

uint64_t FrameTrace::TakeDropped()
{
    return std::exchange(dropped_, 0);
}
