#pragma once
// The Modbus RTU master: frames a request, sends it, reads and checks the
// reply, and reports every outcome as a ResultCode. One attempt per call;
// retries belong to the callers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "modbus/Clock.h"
#include "modbus/FrameObserver.h"
#include "modbus/ResultCode.h"
#include "serial/ComPort.h"

// Handles the window's pending messages and may block for up to `maxWaitMs`
// waiting for new ones; it must return early when nothing can arrive sooner.
// Without a pump the engine simply sleeps.
using MessagePump = std::function<void(uint32_t maxWaitMs)>;

// Whether the adapter hands back what the host sends. A 2-wire RS-485
// adapter without echo suppression does: every request comes back ahead of
// the slave's reply.
enum class EchoMode {
    Auto,  // learned per connection from what comes back (the default)
    On,    // the adapter echoes: a copy of the request precedes every reply
    Off,   // no echo handling at all: the first frame is the reply
};

// What a connection has shown so far.
enum class EchoState { Unknown, Echoes, NoEcho };

// How ReceiveResponse waits for a reply.
enum class ReplyMode {
    // The window's way: the caller waits responseDelayMs (WaitForReply),
    // then each step of the reply may poll readRetries times 10 ms apart.
    FixedWait,
    // For a faster caller: WaitForReply does nothing; ReceiveResponse reads
    // the bytes as they come (polling every FastPollMs) and returns as soon
    // as the frame is complete, or fails once the reply window, counted from
    // the end of the request's write, has passed without a complete frame.
    AsSoonAsComplete,
};

class RtuEngine {
public:
    // The engine reads the window's `comPort` and `responseDelayMs` through
    // these references every time, so a port closed by a handler during a
    // wait is seen at the next call.
    RtuEngine(const std::unique_ptr<C_ComPort> &comPort, const uint32_t &responseDelayMs,
              Clock &clock = SystemClock::Instance(), MessagePump pump = {});

    // Discards any stale input, then sends address, PDU and CRC in one write. 0xFFFF without a port or
    // when the line has hung up, 0x0001 for a missing or oversize PDU,
    // 0x1001 when the port did not take the whole frame. With awaitReply
    // (every request but a broadcast) the transaction stays open until
    // ReceiveResponse returns.
    ResultCode SendRequest(uint8_t address, const uint8_t *pdu, size_t pduLength, bool awaitReply = true);

    // Reads one reply from `address`. After a SendRequest on an echoing line
    // (see EchoMode) the copy of the request that comes back first is
    // skipped; it is never taken for the reply. On success `out` holds the k data bytes
    // of a read reply or the 4 bytes of a write echo; on 0x4001 out[0] is the
    // exception code and outLength 1. `outCapacity` bounds what may be copied:
    // a read reply announcing more data than fits is refused with 0x2004 and
    // nothing is copied. skipToAddress: drop bytes until the address comes
    // (at most 256 of them, then 0x2006) instead of failing on the first.
    ResultCode ReceiveResponse(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength,
                               bool skipToAddress);

    // Function 0x03/0x04 (anything else is sent as asked): count registers
    // from startRegister into destination, host order. A reply with another
    // byte count than 2 * count fails with 0x2004.
    ResultCode ReadRegisters(uint8_t functionCode, uint8_t address, uint16_t startRegister, uint16_t count,
                             uint16_t *destination);

    // 0x06 (count 1) or 0x10 (count 1..123); the echoed value or count must
    // match. Address 0 is sent like any other and waits for a reply.
    ResultCode WriteRegisters(uint32_t functionCode, uint8_t address, uint16_t startRegister, uint16_t count,
                              const uint16_t *values);

    // Returns after at least `milliseconds`. Outside a transaction the window's
    // messages are handled meanwhile; inside one (between a request and its
    // reply) no handler runs, so no second request can overtake the reply.
    void DelayWithMessages(uint32_t milliseconds);

    // The reply wait of one transaction: responseDelayMs without handlers.
    void WaitForReply(uint32_t milliseconds);

    // The exception code of the last reply when that reply was an exception
    // (the request ended with 0x4001), such as 0x02 for an illegal data
    // address; 0 after any other outcome. Each request clears it. The result
    // code stays 0x4001 whatever the exception, as the window shows it.
    uint8_t LastExceptionCode() const { return lastException_; }

    // True between SendRequest and the end of the matching ReceiveResponse.
    bool InTransaction() const { return inTransaction_; }

    // Echo handling. Auto needs no setting: a copy of a 0x03, 0x04 or 0x10
    // request coming back first shows an echoing adapter, a reply coming
    // first shows one that does not, and what a connection has shown is
    // forgotten when the port is opened again. A 0x06 reply is identical to
    // its request, so while the line is still unknown a single copy proves
    // nothing: the engine then waits for a second frame, and if none comes
    // it reads the written register once (0x03) to find out whether the
    // line echoes. Never is an echo taken for a reply, nor a reply for an
    // echo.
    void SetEchoMode(EchoMode mode) { echoMode_ = mode; }
    // Learns at once whether the adapter echoes, so that no write on the new
    // connection needs the settling read: sends a 0x03 to address 248, which
    // no slave may have, and waits one reply. Only the adapter can give that
    // request back; if nothing at all comes, the line does not echo. Auto
    // mode only (otherwise nothing is sent). Returns what is now known.
    EchoState CheckEcho();
    EchoMode GetEchoMode() const { return echoMode_; }
    // What the current connection has shown (Unknown after every open).
    EchoState LearnedEcho() const;
    // The adapter has given back a request on the current connection: "your
    // adapter echoes what it sends".
    bool EchoSeen() const;

    // replyWindowMs is used by AsSoonAsComplete only; 0 gives a reply what
    // the fixed wait would: responseDelayMs plus one Read's polling budget.
    // A useful window covers the request and reply on the wire, the slave's
    // turnaround and the adapter's latency: for the 33-byte block reply at
    // 4800 baud 17 + 20 + 69 + 16 = 122 ms.
    void SetReplyMode(ReplyMode mode, uint32_t replyWindowMs = 0);
    // For a caller that knows the line's speed: gives each request of
    // AsSoonAsComplete its own window, from the frame just sent (address to
    // CRC), in place of replyWindowMs. A 255-byte reply at 4800 baud takes
    // half a second on the wire, a 9-byte one 19 ms; one window for both
    // would be far too long for the one or too short for the other.
    using ReplyWindowFn = std::function<uint32_t(const uint8_t *frame, size_t length)>;
    void SetReplyWindow(ReplyWindowFn windowOf) { windowOf_ = std::move(windowOf); }
    ReplyMode GetReplyMode() const { return replyMode_; }
    uint32_t GetReplyWindowMs() const { return replyWindowMs_; }
    // Bytes the last ReceiveResponse took from the line, the adapter's echo
    // not counted. After a failure, 0 means nothing was heard at all (no
    // slave there); anything else means a slave may be there, worth a retry.
    size_t BytesHeard() const { return heard_; }

    // Every frame written and every run of bytes read from now on goes to
    // `observer` (see FrameObserver.h); an empty one stops the reports.
    // Returns the observer it replaces, so a temporary listener can hand
    // the events on and put it back afterwards. Reporting changes nothing
    // on the line: the same bytes go out and are read at the same moments.
    FrameObserver SetFrameObserver(FrameObserver observer);

    Clock &clock() { return clock_; }
    void SetMessagePump(MessagePump pump) { pump_ = std::move(pump); }

    static constexpr size_t MaxSkippedBytes = 256;
    static constexpr uint32_t FastPollMs = 1;
    static constexpr uint8_t UnusedAddress = 248;

private:
    // What the first bytes after a request turned out to be.
    enum class FirstFrame { Nothing, Echo, Reply, Other };

    ResultCode Receive(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength, bool skipToAddress);
    ResultCode ParseReply(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength,
                          bool skipToAddress);
    // Deals with a copy of the request ahead of the reply. Returns true when
    // it settled the outcome itself (in `result`).
    bool SkipEcho(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength, bool skipToAddress,
                  ResultCode &result);
    ResultCode SettleSingleCopy(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength,
                                bool skipToAddress);
    bool Pull(uint8_t *buffer, size_t count);
    bool PullUntilDeadline(uint8_t *buffer, size_t count, size_t &got);
    void PushBack(const uint8_t *bytes, size_t count);
    void SyncConnection();
    void NoteFirstFrame(FirstFrame what);
    bool ExpectEcho() const;
    ResultCode Fail(ResultCode code);
    // Observer reports; each does nothing without an observer.
    void Report(FrameKind kind, uint32_t ms, const uint8_t *bytes, size_t count, ResultCode result = 0);
    void Capture(const uint8_t *bytes, size_t count);
    void ReportEcho(size_t count);
    void ReportReply(ResultCode result);

    const std::unique_ptr<C_ComPort> &comPort_;
    const uint32_t &responseDelayMs_;
    Clock &clock_;
    MessagePump pump_;
    bool inTransaction_ = false;
    uint8_t lastException_ = 0;

    EchoMode echoMode_ = EchoMode::Auto;
    EchoState learned_ = EchoState::Unknown;
    bool echoSeen_ = false;
    uint64_t connection_ = 0;

    ReplyMode replyMode_ = ReplyMode::FixedWait;
    uint32_t replyWindowMs_ = 0;
    ReplyWindowFn windowOf_;
    uint32_t requestWindowMs_ = 0; // windowOf_'s answer for the open request
    uint32_t sentAtMs_ = 0;

    // The frame of the open transaction, to recognise its echo.
    std::array<uint8_t, 256> request_{};
    size_t requestLength_ = 0;

    // Bytes taken from the port but not yet used by the reply's parser.
    std::array<uint8_t, 2 * 256> held_{};
    size_t heldBegin_ = 0;
    size_t heldEnd_ = 0;
    bool quiet_ = false;       // a read of this reply has already run out of time
    size_t heard_ = 0;
    size_t skipped_ = 0;       // bytes a searching read dropped ahead of the address
    FirstFrame first_ = FirstFrame::Nothing;

    // For the observer: what the open transaction took from the port, each
    // byte with the time it was taken, and how much of it is reported.
    FrameObserver observer_;
    uint8_t reportAddress_ = 0;
    std::array<uint8_t, 1024> captured_{};
    std::array<uint32_t, 1024> capturedMs_{};
    size_t capturedLength_ = 0;
    size_t reported_ = 0;
};
