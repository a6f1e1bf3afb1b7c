#include "Truth.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace lumosim {

namespace {

void AppendHex(std::string &out, const std::vector<uint8_t> &bytes)
{
    out += '"';
    char byte[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", bytes[i]);
        out += byte;
    }
    out += '"';
}

std::string Number(double ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", ms);
    return text;
}

// Writes all of `text`; a client that goes away early costs nothing.
void WriteAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

} // namespace

std::string TruthJson(const BusTruth &truth)
{
    std::string out = "{\"now_ms\":" + Number(truth.nowMs) + ",\"devices\":[";
    for (size_t i = 0; i < truth.devices.size(); ++i) {
        const DeviceTruth &d = truth.devices[i];
        out += i ? ",{" : "{";
        out += "\"index\":" + std::to_string(d.index) + ",\"address\":" + std::to_string(d.address) +
               ",\"model\":" + std::to_string(d.model) + ",\"motor_id\":" + std::to_string(d.motorId) +
               ",\"position\":" + std::to_string(d.position) + ",\"motion\":" + std::to_string(d.motion) +
               ",\"learning\":" + (d.learning ? "true" : "false") + ",\"config\":[";
        for (size_t k = 0; k < d.config.size(); ++k)
            out += (k ? "," : "") + std::to_string(d.config[k]);
        out += "],\"baud\":" + std::to_string(d.baud) + ",\"motion_starts\":" + std::to_string(d.motionStarts) +
               ",\"last_motion_start_ms\":" + Number(d.lastMotionStartMs) +
               ",\"last_motion_stop_ms\":" + Number(d.lastMotionStopMs) + "}";
    }
    out += "],\"acted_dropped\":" + std::to_string(truth.actedDropped) + ",\"acted\":[";
    for (size_t i = 0; i < truth.acted.size(); ++i) {
        const ActedRequest &a = truth.acted[i];
        out += i ? ",{" : "{";
        out += "\"seq\":" + std::to_string(a.seq) + ",\"device\":" + std::to_string(a.device) +
               ",\"address\":" + std::to_string(a.address) + ",\"start_ms\":" + Number(a.startMs) +
               ",\"end_ms\":" + Number(a.endMs) + ",\"request\":";
        AppendHex(out, a.request);
        out += ",\"reply\":";
        AppendHex(out, a.reply);
        out += "}";
    }
    out += "]}\n";
    return out;
}

TruthServer::~TruthServer()
{
    Stop();
}

bool TruthServer::Start(const std::string &path, std::function<std::string()> snapshot)
{
    Stop();
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return false; // never replace a file that is not a socket
        ::unlink(path.c_str());
    }
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::bind(listenFd_, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 8) != 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
        Stop();
        return false;
    }
    path_ = path;
    snapshot_ = std::move(snapshot);
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void TruthServer::Stop()
{
    if (thread_.joinable()) {
        const uint8_t byte = 1;
        if (::write(wake_[1], &byte, 1) < 0) {
            // The pipe is full: the thread is being woken anyway.
        }
        thread_.join();
    }
    for (int *fd : {&listenFd_, &wake_[0], &wake_[1]})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    if (!path_.empty()) {
        ::unlink(path_.c_str());
        path_.clear();
    }
}

void TruthServer::Serve()
{
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        WriteAll(client, snapshot_());
        ::close(client);
    }
}

} // namespace lumosim
