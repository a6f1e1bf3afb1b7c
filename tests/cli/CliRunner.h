#pragma once
// Runs the real lumoctl executable with its output on pipes. A run that
// outlasts its time is killed by its own process id.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

extern char **environ;

struct CliResult {
    int exitCode = -1; // -1: killed after the timeout, or ended by a signal
    std::string out;
    std::string err;
};

class CliProcess {
public:
    explicit CliProcess(const std::vector<std::string> &args)
    {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        std::vector<std::string> argv{LUMOCTL_PROGRAM};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char *> raw;
        for (auto &a : argv)
            raw.push_back(a.data());
        raw.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, raw[0], &actions, nullptr, raw.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + argv[0]);
        }
    }
    ~CliProcess()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }
    CliProcess(const CliProcess &) = delete;
    CliProcess &operator=(const CliProcess &) = delete;

    void Signal(int signal) const { ::kill(pid_, signal); }

    // The next line of standard output, without its newline; empty after
    // the timeout.
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
            if (left <= 0)
                return {};
            Pump(left);
        }
    }

    // Waits for the end (killing the process after `timeoutMs`) and returns
    // everything it printed.
    CliResult Finish(int timeoutMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (MsUntil(deadline) <= 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                pid_ = -1;
                Drain();
                result_.exitCode = -1;
                return result_;
            }
            Pump(20);
        }
        pid_ = -1;
        Drain();
        result_.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result_;
    }

private:
    using Clock = std::chrono::steady_clock;

    static int MsUntil(Clock::time_point deadline)
    {
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    }

    // Reads what both pipes have within `timeoutMs`; false when nothing came.
    bool Pump(int timeoutMs)
    {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (::poll(fds, 2, timeoutMs) <= 0)
            return false;
        bool got = false;
        char chunk[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                (i == 0 ? result_.out : result_.err).append(chunk, static_cast<size_t>(n));
                got = true;
            }
        }
        return got;
    }

    void Drain()
    {
        while (Pump(0)) {
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    size_t taken_ = 0;
    CliResult result_;
};

inline CliResult RunCli(const std::vector<std::string> &args, int timeoutMs = 30000)
{
    CliProcess process(args);
    return process.Finish(timeoutMs);
}
