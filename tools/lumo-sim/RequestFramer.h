#pragma once
// Cuts the byte stream a slave hears into request frames. As on a real RTU
// slave a request ends with the silence after it: where the function code
// tells the length the frame is taken as soon as it is whole, any other
// request (a function the actuators do not implement, such as 0x2B) is
// everything heard up to the gap, and a silent gap drops whatever is left
// over. In addition a frame whose CRC fails is searched byte by byte for a
// good frame inside it. A pseudo-terminal delivers bytes in chunks whenever
// the serving thread gets to run, so "a stray byte, a pause, a request" can
// arrive as one chunk: the search finds the request there all the same. No
// I/O: the caller passes the bytes and their time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "modbus/Frames.h"

namespace lumosim {

// Total length of the request frame that begins at `frame`, judged from the
// `have` bytes so far: 0 while the header is too short to tell, and 0 for a
// function whose requests have no length fixed by it (LengthIsFixed false),
// which end at the gap.
//   0x01..0x06, 0x08      address, function, 4 bytes, CRC        = 8
//   0x0F, 0x10            address, function, 4 bytes, count n, n, CRC = 9 + n
//   0x16                  address, function, 6 bytes, CRC        = 10
//   0x17                  address, function, 8 bytes, count n, n, CRC = 13 + n
// A result above Rtu::MaxFrameLength means no valid frame starts here.
size_t RequestLength(const uint8_t *frame, size_t have);
// True for the function codes of the table above.
bool LengthIsFixed(uint8_t function);

class RequestFramer {
public:
    enum class Kind {
        Frame,   // a whole frame with a good CRC
        Dropped, // bytes in which no frame was found: a frame with a bad CRC,
                 // a partial frame cut by the gap, line noise (at most
                 // MaxFrameLength of them kept, in order)
    };
    using Sink = std::function<void(Kind, const uint8_t *bytes, size_t length)>;

    // `gapMs` is the silence that ends a frame; `charMs` the time one byte
    // takes on the line (0 where bytes arrive without taking time, as on a
    // bare pseudo-terminal). The silence before a byte runs from the end of
    // the byte before it to the start of its own start bit, so a byte handed
    // over at the end of its stop bit began charMs earlier: at 9600 baud a
    // byte that ends 4.7 ms after the last one followed 3.6 ms of silence,
    // just short of t3.5 (3.65 ms), and still belongs to the same frame.
    explicit RequestFramer(double gapMs, double charMs = 0) : gapMs_(gapMs), charMs_(charMs) {}

    // Takes bytes whose last bit ended at `nowMs`; hands each frame, and the
    // bytes dropped before it, to `sink` as soon as they are known.
    void Feed(const uint8_t *data, size_t length, double nowMs, const Sink &sink);
    // Once the line has been silent for the gap: what is left can never
    // become a frame; hands over any frame inside it and drops the rest.
    void Expire(double nowMs, const Sink &sink);
    // When Expire() will have something to do; nothing while idle.
    std::optional<double> Deadline() const;
    void Reset();
    // While `sink` runs: when the first and the last of the bytes it was
    // handed arrived (the nowMs they were fed with).
    double FirstMs() const { return handedFirstMs_; }
    double LastMs() const { return handedLastMs_; }
    double GapMs() const { return gapMs_; }
    double CharMs() const { return charMs_; }

private:
    void Scan(bool gapPassed, const Sink &sink);
    size_t NextWholeFrame();
    void TakeFront(size_t count);
    void DropFirst();
    void FlushDropped(const Sink &sink);
    void Hand(const Sink &sink, Kind kind, const uint8_t *bytes, size_t length, double firstMs, double lastMs);
    bool Pending() const { return size_ > 0 || droppedSize_ > 0; }

    double gapMs_;
    double charMs_;
    double lastByteMs_ = 0; // when the stop bit of the last byte ended
    // Bytes not yet part of a frame; never more than one frame's worth.
    std::array<uint8_t, Rtu::MaxFrameLength> buffer_{};
    std::array<double, Rtu::MaxFrameLength> times_{}; // when each byte of buffer_ arrived
    size_t size_ = 0;
    // Every fixed-length frame inside buffer_ that ends within its first
    // checkedEnd_ bytes has been tried and is no frame: a new byte can only
    // complete frames that end at it. Without this, noise with no gap
    // costs a CRC of every candidate at every byte.
    size_t checkedEnd_ = 0;
    std::array<uint8_t, Rtu::MaxFrameLength> dropped_{};
    size_t droppedSize_ = 0;
    double droppedFirstMs_ = 0;
    double droppedLastMs_ = 0;
    double handedFirstMs_ = 0;
    double handedLastMs_ = 0;
};

} // namespace lumosim
