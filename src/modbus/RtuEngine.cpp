#include "modbus/RtuEngine.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "modbus/Frames.h"
#include "modbus/Registers.h"

namespace {

// Functions whose normal reply repeats the request byte for byte: an echo of
// such a request cannot be told from the reply by what it contains.
bool ReplyMayEqualRequest(uint8_t function)
{
    return function == 0x05 || function == 0x06 || function == 0x08;
}

// Outcomes that mean a whole frame with a good CRC was read.
bool WholeFrame(ResultCode result)
{
    return result == Result::NoError || result == Result::ExceptionReply || result == Result::ReceivedDataError;
}

} // namespace

RtuEngine::RtuEngine(const std::unique_ptr<C_ComPort> &comPort, const uint32_t &responseDelayMs, Clock &clock,
                     MessagePump pump)
    : comPort_(comPort), responseDelayMs_(responseDelayMs), clock_(clock), pump_(std::move(pump))
{
}

ResultCode RtuEngine::SendRequest(uint8_t address, const uint8_t *pdu, size_t pduLength, bool awaitReply)
{
    inTransaction_ = false;
    lastException_ = 0;
    requestLength_ = 0;
    if (!comPort_ || !comPort_->IsOpen())
        return Result::PortError;
    SyncConnection();
    // Address, PDU and two CRC bytes must fit one RTU frame.
    if (pdu == nullptr || pduLength == 0 || pduLength + 3 > Rtu::MaxFrameLength)
        return Result::ParameterError;

    std::array<uint8_t, Rtu::MaxFrameLength> frame{};
    frame[0] = address;
    std::memcpy(frame.data() + 1, pdu, pduLength);
    const size_t length = Rtu::AppendCrc(frame.data(), pduLength + 1);

    // A reply that came too late for its own transaction must not be taken
    // for the answer to this one: without transaction numbers on an RTU
    // line, the only safe place for stale bytes is the bin. One that is
    // still on its way is waited out first.
    AwaitLateReply(address);
    comPort_->DiscardInput();
    if (!comPort_->Write(frame.data(), length))
        return comPort_->HungUp() ? Result::PortError : Result::WriteError;
    sentAtMs_ = clock_.TickMs();
    requestWindowMs_ = windowOf_ ? windowOf_(frame.data(), length) : 0;
    inTransaction_ = awaitReply;
    if (observer_) {
        reportAddress_ = address;
        FrameEvent event;
        event.kind = FrameKind::Request;
        event.ms = sentAtMs_;
        event.endMs = sentAtMs_;
        event.address = address;
        event.broadcast = !awaitReply;
        event.bytes = std::span<const uint8_t>(frame.data(), length);
        observer_(event);
    }
    if (awaitReply) {
        std::memcpy(request_.data(), frame.data(), length);
        requestLength_ = length;
    }
    return Result::NoError;
}

ResultCode RtuEngine::ReceiveResponse(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength,
                                      bool skipToAddress)
{
    const ResultCode result = Receive(address, out, outCapacity, outLength, skipToAddress);
    NoteOutcome(result);
    inTransaction_ = false;
    requestLength_ = 0;
    ReportReply(result);
    return result;
}

FrameObserver RtuEngine::SetFrameObserver(FrameObserver observer)
{
    FrameObserver previous = std::move(observer_);
    observer_ = std::move(observer);
    capturedLength_ = reported_ = 0;
    return previous;
}

void RtuEngine::Report(FrameKind kind, uint32_t ms, const uint8_t *bytes, size_t count, ResultCode result)
{
    if (!observer_)
        return;
    FrameEvent event;
    event.kind = kind;
    event.ms = ms;
    event.endMs = ms;
    // Bytes from the capture carry the time each was taken from the port.
    if (count > 0 && bytes >= captured_.data() && bytes + count <= captured_.data() + capturedLength_)
        event.endMs = capturedMs_[static_cast<size_t>(bytes - captured_.data()) + count - 1];
    event.address = reportAddress_;
    event.result = result;
    event.bytes = std::span<const uint8_t>(bytes, count);
    observer_(event);
}

void RtuEngine::Capture(const uint8_t *bytes, size_t count)
{
    // Only bytes taken from the port come here, never those the parser
    // pushed back, so nothing is reported twice. A babbling line may
    // bring more than the buffer holds: the rest is not reported.
    const uint32_t now = clock_.TickMs();
    count = std::min(count, captured_.size() - capturedLength_);
    std::memcpy(captured_.data() + capturedLength_, bytes, count);
    std::fill_n(capturedMs_.data() + capturedLength_, count, now);
    capturedLength_ += count;
}

void RtuEngine::ReportEcho(size_t count)
{
    if (!observer_)
        return;
    // The echo is what the transaction read first.
    count = std::min(count, capturedLength_ - reported_);
    if (count == 0)
        return;
    Report(FrameKind::Echo, capturedMs_[reported_], captured_.data() + reported_, count);
    reported_ += count;
}

void RtuEngine::ReportReply(ResultCode result)
{
    if (!observer_)
        return;
    if (capturedLength_ > reported_)
        Report(FrameKind::Reply, capturedMs_[reported_], captured_.data() + reported_, capturedLength_ - reported_);
    reported_ = capturedLength_;
    Report(FrameKind::Finished, clock_.TickMs(), nullptr, 0, result);
}

void RtuEngine::ReportStale(uint32_t ms, const uint8_t *bytes, size_t count)
{
    ++staleTotal_;
    Report(FrameKind::Stale, ms, bytes, count);
}

void RtuEngine::SetLineTiming(int32_t baudRate, uint32_t adapterLatencyMs)
{
    // 3.5 characters of 10 bits: 38.5 bit times, fixed at 1.75 ms above
    // 19200 baud; rounded up to whole milliseconds (4 ms at 9600, 9 at 4800).
    const uint32_t us = baudRate > 19200 ? 1750u
                        : baudRate > 0   ? static_cast<uint32_t>((38500000ull + static_cast<uint64_t>(baudRate) - 1)
                                                               / static_cast<uint64_t>(baudRate))
                                         : 1750u;
    t35Ms_ = (us + 999) / 1000;
    adapterLatencyMs_ = adapterLatencyMs;
}

uint32_t RtuEngine::ReplyWindowMs() const
{
    // How long after the request's write the open transaction accepts a
    // reply: the fast mode's window, or the fixed wait and every read poll.
    if (replyMode_ == ReplyMode::AsSoonAsComplete) {
        if (requestWindowMs_ != 0)
            return requestWindowMs_;
        if (replyWindowMs_ != 0)
            return replyWindowMs_;
    }
    const uint32_t polls = comPort_ ? static_cast<uint32_t>(std::max(comPort_->readRetries, 0)) : 0;
    return responseDelayMs_ + polls * C_ComPort::ReadPollMs;
}

void RtuEngine::NoteOutcome(ResultCode result)
{
    // A request that got its answer leaves nothing behind. One that did not
    // (silence, a cut or garbled reply, only foreign frames) may still be
    // answered, late; the next request waits for that in AwaitLateReply.
    if (requestLength_ == 0 || result == Result::NoError || result == Result::ExceptionReply
        || result == Result::PortError)
        return;
    lateReplyPossible_ = true;
    lateAddress_ = request_[0];
    lateHeard_ = heard_ > 0 || stale_ > 0;
    // However short this request's own window was, a slave may answer as
    // late as the window's mode would still accept a reply (the fixed wait
    // and every read poll): that is the longest reply this tool knows of.
    const uint32_t polls = static_cast<uint32_t>(std::max(comPort_->readRetries, 0));
    const uint32_t longest = std::max(ReplyWindowMs(), responseDelayMs_ + polls * C_ComPort::ReadPollMs);
    lateUntilMs_ = sentAtMs_ + longest + adapterLatencyMs_;
}

void RtuEngine::AwaitLateReply(uint8_t address)
{
    if (!lateReplyPossible_)
        return;
    lateReplyPossible_ = false;
    // A late reply carries its own slave's address, which a request to
    // another slave refuses as foreign; so after plain silence only the
    // same slave (or everyone, for a broadcast) has to wait. Once anything
    // was heard the line itself is busy, and everyone waits.
    if (address != lateAddress_ && address != 0 && !lateHeard_)
        return;
    C_ComPort &port = *comPort_;
    // Drain until the late reply can no longer start, then until t3.5 of
    // quiet. A babbling line is not waited out for ever: at most one more
    // reply window after that.
    const uint32_t start = clock_.TickMs();
    const uint32_t limitMs = (static_cast<int32_t>(lateUntilMs_ - start) > 0 ? lateUntilMs_ - start : 0)
                             + ReplyWindowMs() + t35Ms_;
    uint32_t quietSince = start;
    std::array<uint8_t, 64> scratch{};
    for (;;) {
        const int n = port.ReadAvailable(scratch.data(), scratch.size());
        const uint32_t now = clock_.TickMs();
        if (n < 0 || port.HungUp())
            return;
        if (n > 0) {
            quietSince = now;
            if (observer_) {
                reportAddress_ = lateAddress_;
                ReportStale(now, scratch.data(), static_cast<size_t>(n));
            } else {
                ++staleTotal_;
            }
            continue;
        }
        const bool pastLate = static_cast<int32_t>(now - lateUntilMs_) >= 0;
        if ((pastLate && now - quietSince >= t35Ms_) || now - start >= limitMs)
            return;
        clock_.SleepMs(1);
    }
}

bool RtuEngine::Answers(const uint8_t *frame, size_t length) const
{
    // Without a request of ours (a bare ReceiveResponse) the address is all
    // there is to go by, and the caller checked it.
    if (requestLength_ < 2)
        return true;
    if (frame[0] != request_[0])
        return false;
    const uint8_t function = request_[1];
    if (frame[1] == (function | Fc::ExceptionBit))
        return length == 5;
    if (frame[1] != function)
        return false;
    switch (function) {
    case Fc::ReadHolding:
    case Fc::ReadInput:
        return requestLength_ >= 8 && length >= 3 && frame[2] == 2u * Rtu::GetU16(&request_[4]);
    case Fc::WriteSingle:
    case Fc::WriteMultiple:
        // 0x06 repeats register and value, 0x10 start register and count.
        return length == 8 && requestLength_ >= 8 && std::memcmp(&frame[2], &request_[2], 4) == 0;
    default:
        return true;
    }
}

ResultCode RtuEngine::DropStale(const uint8_t *frame, size_t length)
{
    // What a failure will say if the real reply never comes.
    ResultCode why = Result::ReadCommandError;
    if (frame[1] == request_[1] && (frame[1] == Fc::ReadHolding || frame[1] == Fc::ReadInput))
        why = Result::ReceivedDataError;
    else if (frame[1] == request_[1] && (frame[1] == Fc::WriteSingle || frame[1] == Fc::WriteMultiple))
        why = Result::SetDataError;
    if (staleResult_ == 0)
        staleResult_ = why;
    ++stale_;
    // Report exactly this frame, not the bytes already taken after it.
    const size_t unconsumed = heldEnd_ - heldBegin_;
    const size_t consumedEnd = capturedLength_ >= unconsumed ? capturedLength_ - unconsumed : 0;
    if (observer_ && consumedEnd > reported_) {
        ReportStale(capturedMs_[reported_], captured_.data() + reported_, consumedEnd - reported_);
        reported_ = consumedEnd;
    } else {
        ++staleTotal_;
    }
    (void)length;
    return StaleFrame;
}

void RtuEngine::SetReplyMode(ReplyMode mode, uint32_t replyWindowMs)
{
    replyMode_ = mode;
    replyWindowMs_ = replyWindowMs;
}

EchoState RtuEngine::LearnedEcho() const
{
    if (!comPort_ || comPort_->ConnectionId() != connection_)
        return EchoState::Unknown;
    return learned_;
}

bool RtuEngine::EchoSeen() const
{
    return comPort_ && comPort_->ConnectionId() == connection_ && echoSeen_;
}

EchoState RtuEngine::CheckEcho()
{
    if (echoMode_ != EchoMode::Auto || !comPort_ || !comPort_->IsOpen())
        return LearnedEcho();
    const uint8_t pdu[5] = {Fc::ReadHolding, 0x00, 0x00, 0x00, 0x01};
    if (SendRequest(UnusedAddress, pdu, sizeof pdu) != Result::NoError)
        return LearnedEcho();
    WaitForReply(responseDelayMs_);
    uint8_t area[2] = {};
    int32_t length = 0;
    ReceiveResponse(UnusedAddress, area, sizeof area, length, false);
    if (first_ == FirstFrame::Nothing)
        learned_ = EchoState::NoEcho;
    return LearnedEcho();
}

void RtuEngine::SyncConnection()
{
    // Another connection may use another adapter: what the last one showed
    // no longer holds.
    const uint64_t id = comPort_ ? comPort_->ConnectionId() : 0;
    if (id != connection_) {
        connection_ = id;
        learned_ = EchoState::Unknown;
        echoSeen_ = false;
    }
}

void RtuEngine::NoteFirstFrame(FirstFrame what)
{
    first_ = what;
    if (echoMode_ == EchoMode::Off)
        return;
    if (what == FirstFrame::Echo) {
        echoSeen_ = true;
        learned_ = EchoState::Echoes;
    } else if (what == FirstFrame::Reply) {
        // With an echoing adapter our own request would have come first.
        learned_ = EchoState::NoEcho;
    }
}

bool RtuEngine::ExpectEcho() const
{
    return echoMode_ == EchoMode::On || (echoMode_ == EchoMode::Auto && learned_ == EchoState::Echoes);
}

ResultCode RtuEngine::Fail(ResultCode code)
{
    // A reply that stopped because the line itself vanished is a port
    // failure, not a silent slave: the caller must close the port.
    if (comPort_ && comPort_->HungUp())
        return Result::PortError;
    return code;
}

ResultCode RtuEngine::Receive(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength,
                              bool skipToAddress)
{
    if (!comPort_ || !comPort_->IsOpen())
        return Result::PortError;
    if (out == nullptr)
        return Result::ParameterError;
    SyncConnection();
    heldBegin_ = heldEnd_ = 0;
    quiet_ = false;
    heard_ = 0;
    skipped_ = 0;
    first_ = FirstFrame::Nothing;
    capturedLength_ = reported_ = 0;
    pollsLeft_ = std::max(comPort_->readRetries, 0);
    stale_ = 0;
    staleResult_ = 0;
    const bool afterRequest = inTransaction_ && requestLength_ > 0;
    if (!afterRequest) {
        // No request of ours to size the window by.
        sentAtMs_ = clock_.TickMs();
        requestWindowMs_ = 0;
        reportAddress_ = address;
    }

    // A late reply to an earlier request may come ahead of the echo, or
    // ahead of the reply: after each foreign frame the echo is looked for
    // again until it has come.
    bool echoPending = afterRequest && echoMode_ != EchoMode::Off;
    ResultCode result = Result::NoError;
    for (;;) {
        if (echoPending) {
            ResultCode settled = Result::NoError;
            if (SkipEcho(address, out, outCapacity, outLength, skipToAddress, settled))
                return settled;
            echoPending = first_ != FirstFrame::Echo;
        }
        result = ParseReply(address, out, outCapacity, outLength, skipToAddress);
        if (result != StaleFrame)
            break;
    }
    if (result == Result::ReadDataWait || result == Result::ReadError) {
        // Only foreign frames came: say what was wrong with them.
        if (staleResult_ != 0 && !(comPort_->HungUp()))
            result = staleResult_;
    }
    if (afterRequest && first_ != FirstFrame::Echo) {
        // A whole frame right at the start, where an echo would have been.
        // A foreign frame ahead of it proves nothing about the adapter.
        if (WholeFrame(result) && skipped_ == 0 && stale_ == 0)
            NoteFirstFrame(FirstFrame::Reply);
        else
            first_ = heard_ == 0 ? FirstFrame::Nothing : FirstFrame::Other;
    }
    return result;
}

bool RtuEngine::SkipEcho(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength,
                         bool skipToAddress, ResultCode &result)
{
    const uint8_t function = request_[1];
    const bool lookAlike = ReplyMayEqualRequest(function);
    // On a line known not to echo, the first copy of such a request is the
    // slave's reply.
    if (lookAlike && echoMode_ == EchoMode::Auto && learned_ == EchoState::NoEcho)
        return false;

    // Compare what comes with the request, byte by byte, so that a reply
    // shorter than the request is never waited for beyond its end. The
    // first differing byte ends the comparison: for a read the byte count
    // differs from the start register's high byte on this device, and a
    // 0x10 reply is shorter than its request.
    std::array<uint8_t, 256> seen{};
    size_t n = 0;
    bool differs = false;
    while (n < requestLength_ && !differs) {
        uint8_t b = 0;
        if (!Pull(&b, 1))
            break;
        seen[n] = b;
        differs = b != request_[n];
        ++n;
    }
    if (differs || n < requestLength_) {
        // Not our request: these bytes are the start of the reply (or of
        // whatever else the line carries).
        PushBack(seen.data(), n);
        return false;
    }

    if (!lookAlike || ExpectEcho()) {
        heard_ -= requestLength_;
        ReportEcho(requestLength_);
        // A copy of a 0x06 is taken for the echo because the line is said
        // or known to echo; it is no evidence of its own.
        if (lookAlike)
            first_ = FirstFrame::Echo;
        else
            NoteFirstFrame(FirstFrame::Echo);
        return false;
    }
    result = SettleSingleCopy(address, out, outCapacity, outLength, skipToAddress);
    return true;
}

ResultCode RtuEngine::SettleSingleCopy(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength,
                                       bool skipToAddress)
{
    // A copy of a 0x06 request came back on a line not yet known. It is
    // either the slave's reply, or the adapter's echo and then the reply
    // follows. A slave answers once, so anything after the copy shows that
    // the copy was the echo.
    const ResultCode silent = skipToAddress ? Result::ReadDataWait : Result::ReadError;
    uint8_t next = 0;
    if (Pull(&next, 1)) {
        PushBack(&next, 1);
        heard_ -= requestLength_;
        ReportEcho(requestLength_);
        const ResultCode result = ParseReply(address, out, outCapacity, outLength, skipToAddress);
        if (WholeFrame(result))
            NoteFirstFrame(FirstFrame::Echo);
        return result;
    }
    if (comPort_->HungUp())
        return Result::PortError;

    // Only the copy came. Taking it for the reply would report a write to a
    // silent slave as done on an echoing line; refusing it would fail every
    // write on a plain one. A read of the same register settles which line
    // this is: an echoing adapter gives that request back too, a plain one
    // never does.
    std::array<uint8_t, 8> copy{};
    const size_t copyLength = std::min(requestLength_, copy.size());
    std::memcpy(copy.data(), request_.data(), copyLength);
    // The copy is reported once the read below has shown what it was; the
    // read is a transaction of its own in between.
    const uint32_t copyMs = capturedLength_ > reported_ ? capturedMs_[reported_] : sentAtMs_;
    // The write stays the open request: the copy is held against it below.
    const std::array<uint8_t, 256> write = request_;
    const size_t writeLength = requestLength_;
    const uint8_t pdu[5] = {Fc::ReadHolding, request_[2], request_[3], 0x00, 0x01};
    if (SendRequest(address, pdu, sizeof pdu) != Result::NoError)
        return Fail(silent);
    WaitForReply(responseDelayMs_);
    uint8_t area[2] = {};
    int32_t length = 0;
    const ResultCode probeResult = Receive(address, area, sizeof area, length, false);
    ReportReply(probeResult);
    // A read left unanswered may still be answered, late, and that answer
    // looks like the answer to the next one-register read of this slave:
    // the next request waits it out (AwaitLateReply), as after any other
    // transaction that failed.
    NoteOutcome(probeResult);
    // Only a frame that answers the read, and came first, is a reply here
    // (Receive notes Reply for nothing else): a late reply to an earlier
    // request, met first, leaves the line unknown and the write unconfirmed.
    const FirstFrame probe = first_;
    const size_t probeHeard = heard_;
    request_ = write;
    requestLength_ = writeLength;
    inTransaction_ = true;

    if (probe == FirstFrame::Reply || probe == FirstFrame::Nothing) {
        // Nothing or a reply came first: this line gives nothing back, so
        // the copy was the slave's reply. (Silence is not remembered: an
        // adapter whose bus side was unpowered may echo once it is not.)
        Report(FrameKind::Reply, copyMs, copy.data(), copyLength);
        std::memcpy(held_.data(), copy.data(), copyLength);
        heldBegin_ = 0;
        heldEnd_ = copyLength;
        quiet_ = true;
        heard_ = copyLength;
        skipped_ = 0;
        return ParseReply(address, out, outCapacity, outLength, skipToAddress);
    }
    // The line echoes (or carried something unreadable): the copy was our
    // echo and the slave did not answer the write.
    Report(FrameKind::Echo, copyMs, copy.data(), copyLength);
    heard_ = probeHeard;
    return Fail(silent);
}

bool RtuEngine::Pull(uint8_t *buffer, size_t count)
{
    const size_t take = std::min(count, heldEnd_ - heldBegin_);
    if (take > 0)
        std::memcpy(buffer, held_.data() + heldBegin_, take);
    heldBegin_ += take;
    if (take == count)
        return true;
    // Once a step has run out of time the reply is over; later steps only
    // use what is already held.
    if (quiet_)
        return false;
    size_t got = 0;
    // The window's mode: every step of the reply draws on one budget of
    // empty polls, so bytes that trickle in cannot stretch the wait.
    const bool complete = replyMode_ == ReplyMode::FixedWait
                              ? comPort_->ReadWithin(buffer + take, count - take, &got, pollsLeft_)
                              : PullUntilDeadline(buffer + take, count - take, got);
    // The fast mode reports each run as it comes, with its own time.
    if (observer_ && replyMode_ == ReplyMode::FixedWait && got > 0)
        Capture(buffer + take, got);
    heard_ += got;
    if (!complete)
        quiet_ = true;
    return complete;
}

bool RtuEngine::PullUntilDeadline(uint8_t *buffer, size_t count, size_t &got)
{
    C_ComPort &port = *comPort_;
    const uint32_t windowMs =
        requestWindowMs_ != 0 ? requestWindowMs_
        : replyWindowMs_ != 0 ? replyWindowMs_
                              : responseDelayMs_ + static_cast<uint32_t>(std::max(port.readRetries, 0)) * C_ComPort::ReadPollMs;
    for (;;) {
        const int n = port.ReadAvailable(buffer + got, count - got);
        if (n > 0) {
            if (observer_)
                Capture(buffer + got, static_cast<size_t>(n));
            got += static_cast<size_t>(n);
            if (got == count)
                return true;
            continue;
        }
        if (port.HungUp())
            return false;
        // Unsigned difference: the window holds across the tick's wrap.
        if (clock_.TickMs() - sentAtMs_ >= windowMs)
            return false;
        clock_.SleepMs(FastPollMs);
    }
}

void RtuEngine::PushBack(const uint8_t *bytes, size_t count)
{
    const size_t held = heldEnd_ - heldBegin_;
    count = std::min(count, held_.size() - held);
    std::memmove(held_.data() + count, held_.data() + heldBegin_, held);
    if (count > 0)
        std::memcpy(held_.data(), bytes, count);
    heldBegin_ = 0;
    heldEnd_ = count + held;
}

ResultCode RtuEngine::ParseReply(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength,
                                 bool skipToAddress)
{
    C_ComPort &port = *comPort_;

    // Longest reply: address, function, byte count, 255 data bytes, CRC.
    std::array<uint8_t, 3 + 255 + 2> frame{};

    // 1. The address byte. A searching read gives up after dropping the
    // longest possible frame's worth of bytes, so a babbling line cannot
    // hold the window.
    size_t dropped = 0;
    for (;;) {
        if (!Pull(&frame[0], 1))
            return Fail(skipToAddress ? Result::ReadDataWait : Result::ReadError);
        if (frame[0] == address)
            break;
        if (!skipToAddress) {
            heldBegin_ = heldEnd_;
            port.DrainInput();
            return Fail(Result::ReadHeadError);
        }
        skipped_ = ++dropped;
        if (dropped >= MaxSkippedBytes)
            return Result::ReadDataWait;
    }

    // 2. The function code decides the layout of the rest.
    if (!Pull(&frame[1], 1))
        return Fail(Result::ReadError);
    const uint8_t function = frame[1];

    if (function & Fc::ExceptionBit) {
        // exception code, CRC low, CRC high
        if (!Pull(&frame[2], 3))
            return Fail(Result::ReadError);
        if (!Rtu::CrcMatches(frame.data(), 5))
            return Result::ChecksumError;
        if (!Answers(frame.data(), 5))
            return DropStale(frame.data(), 5);
        if (outCapacity < 1)
            return Result::ReceivedDataError;
        out[0] = frame[2];
        outLength = 1;
        lastException_ = frame[2];
        return Result::ExceptionReply;
    }

    if (function == Fc::ReadHolding || function == Fc::ReadInput) {
        if (!Pull(&frame[2], 1))
            return Fail(Result::ReadError);
        const size_t k = frame[2];
        if (!Pull(&frame[3], k + 2))
            return Fail(Result::ReadError);
        if (!Rtu::CrcMatches(frame.data(), k + 5))
            return Result::ChecksumError;
        if (!Answers(frame.data(), k + 5))
            return DropStale(frame.data(), k + 5);
        // Never copy past the caller's area.
        if (k > outCapacity)
            return Result::ReceivedDataError;
        std::memcpy(out, &frame[3], k);
        outLength = static_cast<int32_t>(k);
        return Result::NoError;
    }

    if (function == Fc::WriteSingle || function == Fc::WriteMultiple) {
        // register high, low, value or count high, low, CRC low, high
        if (!Pull(&frame[2], 6))
            return Fail(Result::ReadError);
        if (!Rtu::CrcMatches(frame.data(), 8))
            return Result::ChecksumError;
        if (!Answers(frame.data(), 8))
            return DropStale(frame.data(), 8);
        if (outCapacity < 4)
            return Result::ReceivedDataError;
        std::memcpy(out, &frame[2], 4);
        outLength = 4;
        return Result::NoError;
    }

    // Unknown function: the rest of that reply stays queued.
    return Result::ReadCommandError;
}

ResultCode RtuEngine::ReadRegisters(uint8_t functionCode, uint8_t address, uint16_t startRegister, uint16_t count,
                                    uint16_t *destination)
{
    // A read reply carries at most 125 registers (its byte count is one byte).
    constexpr uint16_t kMaxReadRegisters = 125;
    if (address == 0 || count == 0 || count > kMaxReadRegisters || destination == nullptr)
        return Result::ParameterError;

    uint8_t pdu[5] = {functionCode, 0, 0, 0, 0};
    Rtu::PutU16(&pdu[1], startRegister);
    Rtu::PutU16(&pdu[3], count);
    ResultCode result = SendRequest(address, pdu, sizeof pdu);
    if (result != Result::NoError)
        return result;

    std::array<uint8_t, 2 * kMaxReadRegisters> area{};
    const size_t expected = 2u * count;
    int32_t length = 0;
    WaitForReply(responseDelayMs_);
    result = ReceiveResponse(address, area.data(), expected, length, true);
    if (result != Result::NoError)
        return result;
    // Registers the slave did not send must not read as zeros.
    if (static_cast<size_t>(length) != expected)
        return Result::ReceivedDataError;
    for (uint16_t i = 0; i < count; ++i)
        destination[i] = Rtu::GetU16(&area[2u * i]);
    return Result::NoError;
}

ResultCode RtuEngine::WriteRegisters(uint32_t functionCode, uint8_t address, uint16_t startRegister, uint16_t count,
                                     const uint16_t *values)
{
    if (count == 0 || values == nullptr)
        return Result::ParameterError;

    std::array<uint8_t, 6 + 2 * Rtu::MaxWriteRegisters> pdu{};
    size_t length = 0;
    uint16_t expectedEcho = 0;
    if (functionCode == Fc::WriteSingle) {
        if (count != 1)
            return Result::ParameterError;
        pdu[0] = Fc::WriteSingle;
        Rtu::PutU16(&pdu[1], startRegister);
        Rtu::PutU16(&pdu[3], values[0]);
        length = 5;
        expectedEcho = values[0];
    } else if (functionCode == Fc::WriteMultiple) {
        if (count > Rtu::MaxWriteRegisters)
            return Result::ParameterError;
        pdu[0] = Fc::WriteMultiple;
        Rtu::PutU16(&pdu[1], startRegister);
        Rtu::PutU16(&pdu[3], count);
        pdu[5] = static_cast<uint8_t>(2 * count);
        for (uint16_t i = 0; i < count; ++i)
            Rtu::PutU16(&pdu[6 + 2u * i], values[i]);
        length = 6 + 2u * count;
        expectedEcho = count;
    } else {
        return Result::ParameterError;
    }

    ResultCode result = SendRequest(address, pdu.data(), length);
    if (result != Result::NoError)
        return result;
    uint8_t area[20] = {};
    int32_t got = 0;
    WaitForReply(responseDelayMs_);
    result = ReceiveResponse(address, area, sizeof area, got, true);
    if (result != Result::NoError)
        return result;
    // Only the value (or count) is compared, not the echoed register.
    if (Rtu::GetU16(&area[2]) != expectedEcho)
        return Result::SetDataError;
    return Result::NoError;
}

void RtuEngine::DelayWithMessages(uint32_t milliseconds)
{
    const uint32_t start = clock_.TickMs();
    for (;;) {
        // Unsigned difference: a wait across the tick counter's wrap still
        // lasts the requested time.
        const uint32_t elapsed = clock_.TickMs() - start;
        if (elapsed >= milliseconds)
            return;
        const uint32_t remaining = milliseconds - elapsed;
        if (pump_ && !inTransaction_)
            pump_(remaining);
        else
            clock_.SleepMs(remaining);
    }
}

void RtuEngine::WaitForReply(uint32_t milliseconds)
{
    // The faster mode waits inside ReceiveResponse, for the frame itself.
    if (replyMode_ == ReplyMode::AsSoonAsComplete)
        return;
    const uint32_t start = clock_.TickMs();
    for (uint32_t elapsed = 0; elapsed < milliseconds; elapsed = clock_.TickMs() - start)
        clock_.SleepMs(milliseconds - elapsed);
}
