#pragma once
// The Modbus RTU master: frames a request, sends it, reads and checks the
// reply, and reports every outcome as a ResultCode. One attempt per call;
// retries belong to the callers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "base/Clock.h"
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

    // When the last request got no answer it can trust, its reply may still
    // be on its way: first waits until that reply could no longer come (see
    // SetLineTiming) and the line has been quiet for t3.5, dropping whatever
    // arrives meanwhile. Then discards any stale input and sends address,
    // PDU and CRC in one write. 0xFFFF without a port or
    // when the line has hung up, 0x0001 for a missing or oversize PDU,
    // 0x1001 when the port did not take the whole frame. With awaitReply
    // (every request but a broadcast) the transaction stays open until
    // ReceiveResponse returns.
    ResultCode SendRequest(uint8_t address, const uint8_t *pdu, size_t pduLength, bool awaitReply = true);

    // Reads one reply from `address`. Only a frame that answers the open
    // request counts: its address, its function code (or that code's
    // exception form), for 0x03/0x04 a byte count of twice the registers
    // asked, for 0x06 the register and value sent, for 0x10 the start
    // register and count sent. A whole frame with a good CRC that fails any
    // of these is a late reply to an earlier request or another slave's
    // frame: it is reported to the observer as Stale and the wait for the
    // real reply goes on, within the same reply window. If nothing else
    // comes, the result says what was wrong with it (0x2004 another byte
    // count, 0x3002 a write echo of another value, 0x2003 another function).
    // The whole reply has one deadline, however its bytes or the noise
    // ahead of it trickle in. After a SendRequest on an echoing line
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

    // What the late-reply wait needs to know of the line: the rate (for
    // t3.5: 1.75 ms above 19200 baud, 3.5 characters of 10 bits below it, so
    // 4.0 ms at 9600) and how long the USB adapter may hold received bytes
    // (FTDI's latency timer, 16 ms by default). A request that got no answer
    // it can trust may still be answered until the longest reply window of
    // either mode (at least the fixed wait and every read poll) plus that
    // latency have passed; the next request to the same slave (or to any,
    // when something was heard) waits that long and then for t3.5 of quiet.
    void SetLineTiming(int32_t baudRate, uint32_t adapterLatencyMs = DefaultAdapterLatencyMs);
    // Frames and drained bytes reported as Stale since the engine was made.
    size_t StaleFramesSeen() const { return staleTotal_; }

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
    static constexpr uint32_t DefaultAdapterLatencyMs = 16;

private:
    // What the first bytes after a request turned out to be.
    enum class FirstFrame { Nothing, Echo, Reply, Other };

    // ParseReply's answer when it dropped a whole frame that answers
    // nothing open: the caller looks again. Never leaves the engine.
    static constexpr ResultCode StaleFrame = 0xFFFE;

    ResultCode Receive(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength, bool skipToAddress);
    ResultCode ParseReply(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength,
                          bool skipToAddress);
    // Deals with a copy of the request ahead of the reply. Returns true when
    // it settled the outcome itself (in `result`).
    bool SkipEcho(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength, bool skipToAddress,
                  ResultCode &result);
    ResultCode SettleSingleCopy(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength,
                                bool skipToAddress);
    bool Answers(const uint8_t *frame, size_t length) const;
    ResultCode DropStale(const uint8_t *frame, size_t length);
    void ReportStale(uint32_t ms, const uint8_t *bytes, size_t count);
    void AwaitLateReply(uint8_t address);
    void NoteOutcome(ResultCode result);
    uint32_t ReplyWindowMs() const;
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
    int32_t pollsLeft_ = 0;    // the window's mode: empty polls left for this reply
    size_t stale_ = 0;         // foreign frames this reply met before its own
    size_t staleTotal_ = 0;
    ResultCode staleResult_ = 0; // what to say if only foreign frames came

    // The late-reply wait (see SetLineTiming).
    uint32_t t35Ms_ = 2;
    uint32_t adapterLatencyMs_ = DefaultAdapterLatencyMs;
    bool lateReplyPossible_ = false;
    uint8_t lateAddress_ = 0;
    bool lateHeard_ = false;
    uint32_t lateUntilMs_ = 0;

    // For the observer: what the open transaction took from the port, each
    // byte with the time it was taken, and how much of it is reported.
    FrameObserver observer_;
    uint8_t reportAddress_ = 0;
    std::array<uint8_t, 1024> captured_{};
    std::array<uint32_t, 1024> capturedMs_{};
    size_t capturedLength_ = 0;
    size_t reported_ = 0;
};
