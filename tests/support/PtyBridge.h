#pragma once
// Two pseudo-terminals joined back to back, so two programs that each open a
// device by path (our port and an independent Modbus peer) share one line.

#include <poll.h>

#include <atomic>
#include <thread>

#include "PtyPair.h"

class PtyBridge {
public:
    PtyBridge()
    {
        thread_ = std::thread([this] { Run(); });
    }
    ~PtyBridge() { Stop(); }

    const std::string &pathA() const { return a_.slavePath(); }
    const std::string &pathB() const { return b_.slavePath(); }

    void Stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

private:
    void Run()
    {
        pollfd fds[2] = {{a_.masterFd(), POLLIN, 0}, {b_.masterFd(), POLLIN, 0}};
        uint8_t buf[512];
        while (!stop_) {
            if (::poll(fds, 2, 20) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (!(fds[i].revents & POLLIN))
                    continue;
                const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n > 0)
                    (i == 0 ? b_ : a_).Write(Bytes(buf, buf + n));
            }
        }
    }

    PtyPair a_, b_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
