#pragma once
// Starts a program (the project's own executables, or an independent peer
// such as mbpoll) with standard input on /dev/null and its output on pipes.
// A process is only ever stopped by its own process id, never by name; one
// still running when its Process goes away is killed and reaped.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

extern char **environ;

struct ProcessResult {
    int exitCode = -1; // -1: killed after the timeout, or ended by a signal
    std::string out;
    std::string err;
};

class Process {
public:
    // `argv[0]` is looked up on PATH unless it holds a slash.
    explicit Process(const std::vector<std::string> &argv)
    {
        if (argv.empty())
            throw std::invalid_argument("no program to start");
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        if (::pipe2(err, O_CLOEXEC) != 0) {
            ::close(out[0]);
            ::close(out[1]);
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        std::vector<std::string> copy = argv; // posix_spawnp wants non-const strings
        std::vector<char *> raw;
        for (std::string &a : copy)
            raw.push_back(a.data());
        raw.push_back(nullptr);
        const int rc = ::posix_spawnp(&pid_, raw[0], &actions, nullptr, raw.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        fds_[0] = out[0];
        fds_[1] = err[0];
        if (rc != 0) {
            pid_ = -1;
            CloseAll();
            throw std::runtime_error("cannot start " + argv[0]);
        }
    }
    ~Process()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        CloseAll();
    }
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    // -1 once the process has been reaped.
    pid_t pid() const { return pid_; }

    void Signal(int signal) const
    {
        if (pid_ > 0)
            ::kill(pid_, signal);
    }

    // The next line of standard output, without its newline; empty after the
    // timeout or at the end of the output.
    std::string ReadLine(int timeoutMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (const size_t nl = result_.out.find('\n', taken_); nl != std::string::npos) {
                std::string line = result_.out.substr(taken_, nl - taken_);
                taken_ = nl + 1;
                return line;
            }
            const int left = MsUntil(deadline);
            if (left <= 0 || fds_[0] < 0)
                return {};
            Pump(left);
        }
    }

    // The exit status once the process has ended, collecting the rest of its
    // output; -1 when it has not ended within `timeoutMs` (it keeps running)
    // or was ended by a signal.
    int Wait(int timeoutMs)
    {
        if (pid_ <= 0)
            return result_.exitCode;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        // Reading while waiting: a child that fills a pipe would never end.
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            const int left = MsUntil(deadline);
            if (left <= 0)
                return -1;
            Pump(std::min(left, 20));
        }
        pid_ = -1;
        Drain();
        result_.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result_.exitCode;
    }

    // Waits for the end, killing the process after `timeoutMs`, and returns
    // everything it printed.
    ProcessResult Finish(int timeoutMs)
    {
        if (Wait(timeoutMs) == -1 && pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            Drain();
            result_.exitCode = -1;
        }
        return result_;
    }

    // All the output so far, lines taken by ReadLine included.
    const std::string &out() const { return result_.out; }
    const std::string &err() const { return result_.err; }

private:
    using Clock = std::chrono::steady_clock;

    static int MsUntil(Clock::time_point deadline)
    {
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    }

    // Reads what both pipes have within `timeoutMs`; false when nothing came.
    // A pipe at its end is closed, so poll no longer wakes for it.
    bool Pump(int timeoutMs)
    {
        pollfd fds[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        if (::poll(fds, 2, timeoutMs) <= 0)
            return false;
        bool got = false;
        char chunk[4096];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                (i == 0 ? result_.out : result_.err).append(chunk, static_cast<size_t>(n));
                got = true;
            } else {
                ::close(fds_[i]);
                fds_[i] = -1;
            }
        }
        return got;
    }

    void Drain()
    {
        while (Pump(0)) {
        }
    }

    void CloseAll()
    {
        for (int &fd : fds_)
            if (fd >= 0) {
                ::close(fd);
                fd = -1;
            }
    }

    pid_t pid_ = -1;
    int fds_[2] = {-1, -1}; // standard output, standard error
    size_t taken_ = 0;      // how much of the output ReadLine has handed out
    ProcessResult result_;
};

// Runs a program to its end; its exit status, or -1 after `timeoutMs` (the
// process is then killed).
inline int RunToEnd(const std::vector<std::string> &argv, std::string *out = nullptr, std::string *err = nullptr,
                    int timeoutMs = 10000)
{
    Process p(argv);
    const ProcessResult r = p.Finish(timeoutMs);
    if (out)
        *out = r.out;
    if (err)
        *err = r.err;
    return r.exitCode;
}

// True when `program` is found on PATH.
inline bool OnPath(const std::string &program)
{
    const char *path = ::getenv("PATH");
    const std::string dirs = path ? path : "/usr/bin:/bin";
    size_t begin = 0;
    while (begin <= dirs.size()) {
        const size_t end = dirs.find(':', begin);
        const std::string dir = dirs.substr(begin, end - begin);
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
        if (end == std::string::npos)
            break;
        begin = end + 1;
    }
    return false;
}
