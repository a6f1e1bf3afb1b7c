// The virtual bus's ear: arbitrary bytes in arbitrary chunks and pauses go
// through the request framer, and every frame it hands over is acted on by a
// virtual actuator. Frames must have good CRCs and bounded lengths; replies
// must be bounded too.

#include <cstdlib>

#include "Actuator.h"
#include "RequestFramer.h"

using namespace lumosim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const MotionTiming timing{};
    DeviceOptions options{};
    options.address = 5;
    options.model = 2;
    Actuator actuator(options, 0x1234, timing);
    RequestFramer framer(4.0);
    double now = 0;

    auto sink = [&](RequestFramer::Kind kind, const uint8_t *bytes, size_t length) {
        if (length == 0 || length > Rtu::MaxFrameLength)
            abort();
        if (kind != RequestFramer::Kind::Frame)
            return;
        if (length < 4 || !Rtu::CrcMatches(bytes, length))
            abort();
        if (bytes[0] != 0 && bytes[0] != actuator.Address())
            return;
        const auto reply = actuator.Handle(bytes + 1, length - 3, now, bytes[0] == 0);
        if (reply && (reply->empty() || reply->size() > Rtu::MaxFrameLength - 3))
            abort();
    };

    // Each chunk: one byte of pause (in tenths of a millisecond), one byte of
    // length, then that many bytes of line.
    size_t at = 0;
    while (at + 2 <= size) {
        now += data[at] / 10.0;
        const size_t n = std::min<size_t>(data[at + 1], size - at - 2);
        at += 2;
        if (const auto deadline = framer.Deadline(); deadline && *deadline <= now)
            framer.Expire(now, sink);
        framer.Feed(data + at, n, now, sink);
        at += n;
    }
    now += 100;
    framer.Expire(now, sink);
    return 0;
}
