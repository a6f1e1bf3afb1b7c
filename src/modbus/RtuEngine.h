#pragma once
// The Modbus RTU master: frames a request, sends it, reads and checks the
// reply, and reports every outcome as a ResultCode. One attempt per call;
// retries belong to the callers.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "modbus/Clock.h"
#include "modbus/ResultCode.h"
#include "serial/ComPort.h"

// Handles the window's pending messages and may block for up to `maxWaitMs`
// waiting for new ones; it must return early when nothing can arrive sooner.
// Without a pump the engine simply sleeps.
using MessagePump = std::function<void(uint32_t maxWaitMs)>;

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

    // Reads one reply from `address`. On success `out` holds the k data bytes
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

    Clock &clock() { return clock_; }
    void SetMessagePump(MessagePump pump) { pump_ = std::move(pump); }

    static constexpr size_t MaxSkippedBytes = 256;

private:
    ResultCode Receive(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength, bool skipToAddress);
    ResultCode Fail(ResultCode code);

    const std::unique_ptr<C_ComPort> &comPort_;
    const uint32_t &responseDelayMs_;
    Clock &clock_;
    MessagePump pump_;
    bool inTransaction_ = false;
    uint8_t lastException_ = 0;
};
