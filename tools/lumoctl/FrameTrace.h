#pragma once
// What went over the line during a command, for --trace and --frames: the
// engine's frame observer turned into one line per frame on stderr and,
// for the JSON document, one entry per frame.
//
//        0 M>S 01 read input 0x0046 Model
//       15 S>M 01 reply Model=0 (LUMO-D)
//       36 M>S 04 read input 0x0046 Model
//       70 end 04 failed: Read Error (0x2001)
//
// Times are milliseconds since lumoctl started the trace; a transaction
// that failed ends with an "end" line, since silence leaves no frame. Nothing reaches
// stdout, so the command's own output is the same with and without it.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "Output.h"
#include "modbus/FrameObserver.h"

class FrameTrace {
public:
    // toStderr: print each frame as it passes (--trace). keep: collect the
    // entries for the JSON document (--frames), at most `maxKept` of them.
    FrameTrace(bool toStderr, bool keep, size_t maxKept = kMaxKeptFrames);

    // Nothing asked for: no observer, so the engine does no work for it.
    bool Active() const { return toStderr_ || keep_; }
    bool Keeps() const { return keep_; }
    // An observer feeding this trace; empty when the trace is not active.
    // The trace must outlive every engine it is given to.
    FrameObserver Observer();

    // The entries kept since the last call, oldest first, and forgets them:
    //   {"ms": 41, "direction": "request", "address": 5,
    //    "bytes": "05 04 00 34 00 02 30 43", "text": "M>S 05 read input ...",
    //    "result": 0, "resultHex": "0x0000"}
    // direction is request, echo or reply; result is the code the
    // transaction ended with, absent for a broadcast (it waits for nothing)
    // and for a transaction still open. At most kMaxKeptFrames are kept: a
    // `move --wait` of a day polls about 288,000 times, so older entries
    // give way to newer ones and are counted instead.
    Json TakeFrames();
    // How many entries gave way since the last call, and forgets the count.
    uint64_t TakeDropped();

    static constexpr size_t kMaxKeptFrames = 10000;

    void OnFrame(const FrameEvent &event);

private:
    // A request waiting for its reply. The engine's settling read runs inside
    // a write's transaction, so two may be open at once.
    struct Open {
        std::vector<uint8_t> request;
        uint64_t firstEntry = 0; // number of the request's own entry (see firstKept_)
    };

    void Print(uint32_t ms, const std::string &text) const;
    void Keep(const FrameEvent &event, const char *direction, const std::string &text);

    bool toStderr_;
    bool keep_;
    size_t maxKept_;
    uint32_t startMs_;
    std::vector<Open> open_;
    // The kept entries; entries are numbered from the first of the run, and
    // firstKept_ is the number of entries_.front().
    std::deque<Json> entries_;
    uint64_t firstKept_ = 0;
    uint64_t dropped_ = 0;
};

// "05 03 00 1F": bytes as upper-case hex pairs.
std::string HexBytes(const std::vector<uint8_t> &bytes);
