#pragma once
// A bare master for the tests: opens the bus's device like the tool does and
// exchanges raw bytes, so every byte on the line can be checked.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "PtyPair.h" // Bytes
#include "modbus/Frames.h"

class LineClient {
public:
    // `speed` is a termios rate (B115200): on the line model it decides
    // whether the devices understand this master.
    explicit LineClient(const std::string &path, speed_t speed = B115200)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + path);
        termios raw{};
        cfmakeraw(&raw);
        raw.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&raw, speed);
        cfsetospeed(&raw, speed);
        ::tcsetattr(fd_, TCSANOW, &raw);
        ::tcflush(fd_, TCIOFLUSH);
    }
    ~LineClient()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    LineClient(const LineClient &) = delete;
    LineClient &operator=(const LineClient &) = delete;

    int fd() const { return fd_; }

    // Writes the bytes as they are, in one write; false when the line refuses them.
    bool SendRaw(const Bytes &bytes) const
    {
        return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    bool Send(const Bytes &frameWithoutCrc) const { return SendRaw(WithCrc(frameWithoutCrc)); }

    // Whatever arrives until `quietMs` pass without a byte after the first,
    // or `timeoutMs` in all.
    Bytes Receive(int timeoutMs = 2000, int quietMs = 20) const
    {
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, out.empty() ? 5 : quietMs) <= 0) {
                if (!out.empty())
                    break;
                continue;
            }
            if (!(p.revents & POLLIN))
                break; // hung up
            uint8_t buf[512];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0)
                break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

    // One request (CRC added) and whatever comes back.
    Bytes Transact(const Bytes &frameWithoutCrc, int timeoutMs = 2000) const
    {
        Send(frameWithoutCrc);
        return Receive(timeoutMs);
    }

private:
    int fd_ = -1;
};

// Request builders: address, function, two 16-bit fields, high byte first.
inline Bytes Request(uint8_t address, uint8_t function, uint16_t a, uint16_t b)
{
    return Bytes{address, function, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a & 0xFF),
                 static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b & 0xFF)};
}

inline Bytes WriteMultiple(uint8_t address, uint16_t first, const std::vector<uint16_t> &values)
{
    Bytes frame = Request(address, 0x10, first, static_cast<uint16_t>(values.size()));
    frame.push_back(static_cast<uint8_t>(2 * values.size()));
    for (uint16_t v : values) {
        frame.push_back(static_cast<uint8_t>(v >> 8));
        frame.push_back(static_cast<uint8_t>(v & 0xFF));
    }
    return frame;
}

// Waits until `done()` holds, polling every few ms; false after `timeoutMs`.
template <typename Predicate> bool WaitUntil(Predicate done, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        ::usleep(2000);
    }
    return true;
}
