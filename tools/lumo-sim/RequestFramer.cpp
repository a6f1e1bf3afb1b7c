#include "RequestFramer.h"

#include <algorithm>

namespace lumosim {

namespace {

// Address, function code and CRC: the shortest request there is (0x11, 0x07).
constexpr size_t MinRequestLength = 4;

} // namespace

bool LengthIsFixed(uint8_t function)
{
    switch (function) {
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x06: case 0x08:
    case 0x0F: case 0x10: case 0x16: case 0x17:
        return true;
    default:
        return false;
    }
}

size_t RequestLength(const uint8_t *frame, size_t have)
{
    if (have < 2 || !LengthIsFixed(frame[1]))
        return 0;
    switch (frame[1]) {
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x06: case 0x08:
        return 8;
    case 0x0F:
    case 0x10:
        return have < 7 ? 0 : 9 + size_t{frame[6]};
    case 0x16:
        return 10;
    case 0x17:
        return have < 11 ? 0 : 13 + size_t{frame[10]};
    default:
        return 0;
    }
}

void RequestFramer::Feed(const uint8_t *data, size_t length, double nowMs, const Sink &sink)
{
    for (size_t i = 0; i < length; ++i) {
        // A gap before this byte's start bit ends what came before it.
        Expire(nowMs - charMs_, sink);
        if (size_ == buffer_.size()) {
            // A request that waits for the gap has reached the longest frame
            // and goes on: no frame starts at its first byte.
            DropFirst();
            Scan(false, sink);
        }
        lastByteMs_ = nowMs;
        times_[size_] = nowMs;
        buffer_[size_++] = data[i];
        Scan(false, sink);
    }
}

void RequestFramer::Expire(double nowMs, const Sink &sink)
{
    if (Pending() && nowMs - lastByteMs_ >= gapMs_) {
        Scan(true, sink);
        FlushDropped(sink);
    }
}

std::optional<double> RequestFramer::Deadline() const
{
    if (Pending())
        return lastByteMs_ + gapMs_;
    return std::nullopt;
}

void RequestFramer::Reset()
{
    size_ = 0;
    checkedEnd_ = 0;
    droppedSize_ = 0;
}

// Where the first whole frame of fixed length with a good CRC begins after
// the first byte; 0 when there is none (yet).
size_t RequestFramer::NextWholeFrame()
{
    // The functions whose frames are at most 10 bytes long; the others of
    // fixed length (0x0F, 0x10, 0x17) say their length in the frame.
    static constexpr auto shortFrame = [] {
        std::array<bool, 256> table{};
        for (uint8_t f : {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x08, 0x16})
            table[f] = true;
        return table;
    }();
    constexpr size_t longestShortFrame = 10;
    for (size_t at = 1; at + 1 < size_; ++at) {
        // Most bytes of noise start no frame, and most that do end where
        // they were tried already: neither costs a call.
        const uint8_t function = buffer_[at + 1];
        if (shortFrame[function] ? at + longestShortFrame <= checkedEnd_ : !LengthIsFixed(function))
            continue;
        const size_t length = RequestLength(buffer_.data() + at, size_ - at);
        if (length != 0 && length <= size_ - at && at + length > checkedEnd_ &&
            Rtu::CrcMatches(buffer_.data() + at, length))
            return at;
    }
    checkedEnd_ = size_;
    return 0;
}

// Removes the first `count` bytes of buffer_.
void RequestFramer::TakeFront(size_t count)
{
    std::copy(buffer_.begin() + count, buffer_.begin() + size_, buffer_.begin());
    std::copy(times_.begin() + count, times_.begin() + size_, times_.begin());
    size_ -= count;
    checkedEnd_ = checkedEnd_ > count ? checkedEnd_ - count : 0;
}

// Takes every good frame off the front of the buffer. A candidate that can
// never be one (its CRC fails, it would be too long, or the gap has cut it
// short) loses its first byte and the search goes on from the next.
void RequestFramer::Scan(bool gapPassed, const Sink &sink)
{
    while (size_ > 0) {
        size_t needed = RequestLength(buffer_.data(), size_);
        if (size_ >= 2 && !LengthIsFixed(buffer_[1])) {
            // The function code fixes no length: the request runs up to the
            // gap, or up to a whole frame that followed it without one (a
            // pseudo-terminal can hand both over in one chunk).
            needed = gapPassed ? size_ : NextWholeFrame();
            if (needed == 0)
                return; // more bytes may come
        }
        if (needed > buffer_.size() || (needed != 0 && needed < MinRequestLength)) {
            DropFirst();
        } else if (needed == 0 || needed > size_) {
            if (!gapPassed)
                return; // more bytes may come
            DropFirst();
        } else if (Rtu::CrcMatches(buffer_.data(), needed)) {
            FlushDropped(sink);
            Hand(sink, Kind::Frame, buffer_.data(), needed, times_[0], times_[needed - 1]);
            TakeFront(needed);
        } else {
            DropFirst();
        }
    }
}

void RequestFramer::DropFirst()
{
    if (droppedSize_ == 0)
        droppedFirstMs_ = times_[0];
    droppedLastMs_ = times_[0];
    if (droppedSize_ < dropped_.size())
        dropped_[droppedSize_++] = buffer_[0];
    TakeFront(1);
}

void RequestFramer::FlushDropped(const Sink &sink)
{
    if (droppedSize_ > 0)
        Hand(sink, Kind::Dropped, dropped_.data(), droppedSize_, droppedFirstMs_, droppedLastMs_);
    droppedSize_ = 0;
}

void RequestFramer::Hand(const Sink &sink, Kind kind, const uint8_t *bytes, size_t length, double firstMs,
                         double lastMs)
{
    handedFirstMs_ = firstMs;
    handedLastMs_ = lastMs;
    sink(kind, bytes, length);
}

} // namespace lumosim
