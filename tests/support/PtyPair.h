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
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

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

// Answers each request frame that arrives on the master side with whatever
// `reply` returns for it (nothing = silence). Records every request.
class ScriptedResponder {
public:
    using Script = std::function<Bytes(const Bytes &request)>;

    ScriptedResponder(PtyPair &pty, Script reply) : pty_(pty), reply_(std::move(reply))
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
            Bytes answer = reply_(request);
            if (!answer.empty())
                pty_.Write(answer);
        }
    }

    PtyPair &pty_;
    Script reply_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Bytes> requests_;
    std::thread thread_;
};
