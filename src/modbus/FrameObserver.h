#pragma once
// What the engine tells an observer about the line: every frame it writes,
// every run of bytes a transaction took from the port, and how the
// transaction ended. The bus monitor and the bus doctor listen here.

#include <cstdint>
#include <functional>
#include <span>

#include "modbus/ResultCode.h"

enum class FrameKind : uint8_t {
    Request,  // a frame the engine wrote (master to slave)
    Echo,     // the adapter's copy of that frame, read back ahead of the reply
    Reply,    // what a transaction read after the echo: a frame, garbage or a part of one
    Stale,    // a whole frame that answers no open request (a late reply to an earlier
              // one, another slave's frame), or bytes drained before a request went out:
              // never taken for an answer
    Finished, // the transaction is over: `result` is its code; no bytes
};

struct FrameEvent {
    FrameKind kind = FrameKind::Request;
    // Engine clock. Request: when the write returned, so the frame is still
    // on the wire for its length in character times. Echo and Reply: when
    // their first byte was taken from the port. Finished: when it ended.
    uint32_t ms = 0;
    // Echo, Reply and Stale: when their last byte was taken from the port,
    // which is when a reply became whole (its latency as the host sees it).
    // Other kinds: the same as `ms`.
    uint32_t endMs = 0;
    uint8_t address = 0;             // the slave the transaction was for
    bool broadcast = false;          // Request only: no reply will be read
    ResultCode result = Result::NoError; // Finished only
    std::span<const uint8_t> bytes;  // valid during the call only
};

// Called on the engine's thread, inside the transaction: it must be quick
// and must not use the engine. With no observer set the engine does no work
// for it at all.
using FrameObserver = std::function<void(const FrameEvent &)>;
