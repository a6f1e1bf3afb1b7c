// Arbitrary bytes arriving on the line while the engine reads a reply, for
// every kind of read: raw strict and searching receives with any area size,
// register reads and write echoes. The bytes travel through a real
// pseudo-terminal; time is fake so the read polls cost nothing.

#include <sys/ioctl.h>
#include <termios.h>

#include <cstring>
#include <memory>

#include "FakeClock.h"
#include "PtyPair.h"
#include "modbus/RtuEngine.h"

namespace {

struct Line {
    PtyPair pty;
    FakeClock clock;
    std::unique_ptr<C_ComPort> port = std::make_unique<C_ComPort>(clock);
    uint32_t responseDelayMs = 0;
    RtuEngine engine{port, responseDelayMs, clock};
    Line()
    {
        if (!port->Open(pty.slavePath(), 115200, 0))
            abort();
        int flags = fcntl(pty.masterFd(), F_GETFL);
        fcntl(pty.masterFd(), F_SETFL, flags | O_NONBLOCK);
    }
    int Queued()
    {
        int n = 0;
        ioctl(port->handle, FIONREAD, &n);
        return n;
    }
    void Reset()
    {
        tcflush(port->handle, TCIOFLUSH);
        uint8_t sink[512];
        while (::read(pty.masterFd(), sink, sizeof sink) > 0) {
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Line line;
    if (size < 3)
        return 0;
    const uint8_t mode = data[0];
    const uint8_t param = data[1];
    const uint8_t address = data[2] ? data[2] : 1;
    data += 3;
    size = std::min<size_t>(size - 3, 1024);

    line.Reset();
    if (size > 0)
        line.pty.Write(Bytes(data, data + size));
    // The kernel hands bytes to the slave side in the background.
    for (int i = 0; i < 2000 && line.Queued() < static_cast<int>(size); ++i)
        usleep(10);

    switch (mode % 5) {
    case 0:
    case 1: {
        // A caller's area of 0..63 bytes inside a guarded buffer.
        uint8_t area[64 + 16];
        std::memset(area, 0xA5, sizeof area);
        const size_t capacity = param % 64;
        int32_t length = -1;
        const ResultCode r = line.engine.ReceiveResponse(address, area, capacity, length, mode % 5 == 1);
        for (size_t i = capacity; i < sizeof area; ++i)
            if (area[i] != 0xA5)
                abort();   // wrote past the area it was given
        if (r == Result::NoError && (length < 0 || static_cast<size_t>(length) > capacity))
            abort();
        break;
    }
    case 2:
    case 3: {
        const uint16_t count = static_cast<uint16_t>(param % 8 + 1);
        uint16_t words[8 + 4];
        std::fill(std::begin(words), std::end(words), 0x5A5A);
        line.engine.ReadRegisters(mode % 5 == 2 ? 0x03 : 0x04, address, 0x20, count, words);
        for (size_t i = count; i < std::size(words); ++i)
            if (words[i] != 0x5A5A)
                abort();
        break;
    }
    default: {
        const uint16_t values[3] = {1, 2, 3};
        line.engine.WriteRegisters(param & 1 ? 0x10 : 0x06, address, 0x21, param & 1 ? 3 : 1, values);
        break;
    }
    }
    return 0;
}
