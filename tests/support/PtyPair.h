#pragma once
// A pseudo-terminal pair standing in for a serial line: the code under test
// opens slavePath() like any device, the test talks on the master side.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "modbus/Frames.h"

using Bytes = std::vector<uint8_t>;

// The frame with its CRC appended, low byte first, as it goes on the wire.
inline Bytes WithCrc(Bytes frame)
{
    frame.resize(frame.size() + 2);
    Rtu::AppendCrc(frame.data(), frame.size() - 2);
    return frame;
}

class PtyPair {
public:
    PtyPair()
    {
        termios raw{};
        cfmakeraw(&raw);
        raw.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&raw, B115200);
        cfsetospeed(&raw, B115200);
        char name[128] = {};
        // Raw from creation: a cooked slave would eat 0x03 and turn 0x0D into 0x0A.
        if (openpty(&master_, &slave_, name, &raw, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        path_ = name;
    }
    ~PtyPair()
    {
        CloseMaster();
        if (slave_ >= 0)
            ::close(slave_);
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    const std::string &slavePath() const { return path_; }
    int masterFd() const { return master_; }

    // The far side vanishing, as when an adapter is unplugged.
    void CloseMaster()
    {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

    void Write(const Bytes &bytes) const
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                throw std::runtime_error("pty master write failed");
            done += static_cast<size_t>(n);
        }
    }

    // Reads what arrives on the master until `quietMs` pass without a byte
    // (a frame boundary on an RTU line), or `timeoutMs` in all.
    Bytes Read(int timeoutMs = 500, int quietMs = 5) const
    {
        Bytes out;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            int wait = out.empty() ? 10 : quietMs;
            int r = ::poll(&p, 1, wait);
            if (r <= 0) {
                if (!out.empty())
                    break;
                continue;
            }
            uint8_t buf[512];
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0)
                break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Writes into a non-blocking fd until the kernel takes no single byte more:
// a line whose far side does not read.
inline void FillLine(int fd)
{
    // The kernel moves bytes between its buffers in the background, so room
    // can reappear shortly after a refusal: fill until a whole pass, made
    // after a pause, takes nothing.
    uint8_t junk[4096] = {};
    for (bool tookSome = true; tookSome;) {
        tookSome = false;
        for (size_t chunk = sizeof junk; chunk > 0; chunk /= 2)
            while (::write(fd, junk, chunk) > 0)
                tookSome = true;
        usleep(20000);
    }
}

// How a slave's bytes reach the host through a real RS-485 line and a USB
// adapter. A pty hands a whole reply over at once; a real line does not:
// each 8N1 character takes 10 bit times, the slave pauses before answering,
// and an FTDI-style adapter holds what it received until its latency timer
// runs out or a 62-byte packet is full.
struct LineModel {
    int32_t baud = 115200;
    double turnaroundMs = 0;  // from the end of the request to the reply's first bit
    double latencyMs = 0;     // the adapter's latency timer; 0: every byte as it arrives
    size_t packetBytes = 62;  // a full USB packet goes at once
    bool echo = false;        // a 2-wire adapter reads back what the host sends

    double CharMs() const { return 10000.0 / baud; }
};

// One hand-over from the adapter to the host: `atMs` after the host's
// request reached the line.
struct Delivery {
    double atMs;
    Bytes bytes;
};

// When the bytes of the echo (if the line echoes) and of the reply reach the
// host. The request occupies the wire for its own length first; the reply
// starts a turnaround after that.
inline std::vector<Delivery> AdapterDeliveries(const LineModel &line, const Bytes &request, const Bytes &reply)
{
    const double charMs = line.CharMs();
    std::vector<std::pair<double, uint8_t>> arrivals;
    if (line.echo)
        for (size_t i = 0; i < request.size(); ++i)
            arrivals.emplace_back(static_cast<double>(i + 1) * charMs, request[i]);
    const double replyStart = static_cast<double>(request.size()) * charMs + line.turnaroundMs;
    for (size_t j = 0; j < reply.size(); ++j)
        arrivals.emplace_back(replyStart + static_cast<double>(j + 1) * charMs, reply[j]);

    std::vector<Delivery> out;
    Bytes pending;
    if (line.latencyMs <= 0) {
        // No adapter buffer: each byte as it arrives, bytes less than 1 ms
        // apart handed over together when the last of them is in.
        for (size_t i = 0; i < arrivals.size(); ++i) {
            pending.push_back(arrivals[i].second);
            if (i + 1 == arrivals.size() || arrivals[i + 1].first - arrivals[i].first >= 1.0
                || pending.size() >= line.packetBytes) {
                out.push_back({arrivals[i].first, pending});
                pending.clear();
            }
        }
        return out;
    }
    double tick = line.latencyMs;
    for (const auto &[t, b] : arrivals) {
        for (; tick < t; tick += line.latencyMs)
            if (!pending.empty()) {
                out.push_back({tick, pending});
                pending.clear();
            }
        pending.push_back(b);
        if (pending.size() >= line.packetBytes) {
            out.push_back({t, pending});
            pending.clear();
        }
    }
    if (!pending.empty())
        out.push_back({tick, pending});
    return out;
}

// Answers each request frame that arrives on the master side with whatever
// `reply` returns for it (nothing = silence). Records every request.
class ScriptedResponder {
public:
    using Script = std::function<Bytes(const Bytes &request)>;

    ScriptedResponder(PtyPair &pty, Script reply) : pty_(pty), reply_(std::move(reply))
    {
        thread_ = std::thread([this] { Run(); });
    }
    // The same, but the echo (if any) and the answer travel as on `line`.
    ScriptedResponder(PtyPair &pty, const LineModel &line, Script reply)
        : pty_(pty), reply_(std::move(reply)), line_(line)
    {
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedResponder() { Stop(); }

    void Stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

    std::vector<Bytes> requests() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

    // When the last bytes of the latest answer were handed to the line.
    std::chrono::steady_clock::time_point lastDelivery() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastDelivery_;
    }

private:
    void Run()
    {
        while (!stop_) {
            Bytes request = pty_.Read(50, 3);
            if (request.empty())
                continue;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request);
            }
            const auto heard = std::chrono::steady_clock::now();
            Bytes answer = reply_(request);
            if (!line_) {
                if (!answer.empty())
                    pty_.Write(answer);
                Delivered();
                continue;
            }
            for (const Delivery &d : AdapterDeliveries(*line_, request, answer)) {
                std::this_thread::sleep_until(heard + std::chrono::microseconds(static_cast<int64_t>(d.atMs * 1000)));
                pty_.Write(d.bytes);
                Delivered();
            }
        }
    }

    void Delivered()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastDelivery_ = std::chrono::steady_clock::now();
    }

    PtyPair &pty_;
    Script reply_;
    std::optional<LineModel> line_;
    std::chrono::steady_clock::time_point lastDelivery_{};
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Bytes> requests_;
    std::thread thread_;
};
