#include "RequestFramer.h"

#include <algorithm>

namespace lumosim {

size_t RequestLength(const uint8_t *frame, size_t have)
{
    if (have < 2)
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
        return 4;
    }
}

void RequestFramer::Feed(const uint8_t *data, size_t length, double nowMs, const Sink &sink)
{
    for (size_t i = 0; i < length; ++i) {
        Expire(nowMs, sink); // a gap before this byte ends what came before it
        lastByteMs_ = nowMs;
        buffer_[size_++] = data[i]; // Scan leaves room: size_ < MaxFrameLength here
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
    droppedSize_ = 0;
}

// Takes every good frame off the front of the buffer. A candidate that can
// never be one (its CRC fails, it would be too long, or the gap has cut it
// short) loses its first byte and the search goes on from the next.
void RequestFramer::Scan(bool gapPassed, const Sink &sink)
{
    while (size_ > 0) {
        const size_t needed = RequestLength(buffer_.data(), size_);
        if (needed > buffer_.size()) {
            DropFirst();
        } else if (needed == 0 || needed > size_) {
            if (!gapPassed)
                return; // more bytes may come
            DropFirst();
        } else if (Rtu::CrcMatches(buffer_.data(), needed)) {
            FlushDropped(sink);
            sink(Kind::Frame, buffer_.data(), needed);
            std::copy(buffer_.begin() + needed, buffer_.begin() + size_, buffer_.begin());
            size_ -= needed;
        } else {
            DropFirst();
        }
    }
}

void RequestFramer::DropFirst()
{
    if (droppedSize_ < dropped_.size())
        dropped_[droppedSize_++] = buffer_[0];
    std::copy(buffer_.begin() + 1, buffer_.begin() + size_, buffer_.begin());
    --size_;
}

void RequestFramer::FlushDropped(const Sink &sink)
{
    if (droppedSize_ > 0)
        sink(Kind::Dropped, dropped_.data(), droppedSize_);
    droppedSize_ = 0;
}

} // namespace lumosim
