#pragma once
// Starts a program with its output on pipes, for the tests that run the
// lumo-sim executable or an independent master such as mbpoll. Stopped by
// its own process id, never by name.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

class Process {
public:
    explicit Process(const std::vector<std::string> &argv)
    {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        const int rc = ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
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
    ~Process()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }

    // One line of standard output (without the newline); empty after the timeout.
    std::string ReadLine(int timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (const size_t nl = outBuffer_.find('\n'); nl != std::string::npos) {
                std::string line = outBuffer_.substr(0, nl);
                outBuffer_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Fill(out_, outBuffer_, static_cast<int>(left.count())))
                return {};
        }
    }

    void Signal(int signal) const { ::kill(pid_, signal); }

    // The exit status once the process has ended, -1 if it has not within
    // the timeout (or was ended by a signal). Collects the rest of its output.
    int Wait(int timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            Fill(out_, outBuffer_, 5);
            Fill(err_, errBuffer_, 5);
            if (std::chrono::steady_clock::now() > deadline)
                return -1;
        }
        pid_ = -1;
        while (Fill(out_, outBuffer_, 0)) {
        }
        while (Fill(err_, errBuffer_, 0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string &out() const { return outBuffer_; }
    const std::string &err() const { return errBuffer_; }

private:
    // Appends what `fd` has within `timeoutMs`; false at end of file or when nothing came.
    static bool Fill(int fd, std::string &buffer, int timeoutMs)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return false;
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        buffer.append(chunk, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string outBuffer_;
    std::string errBuffer_;
};

// Runs a program to its end; its exit status, or -1 after `timeoutMs`.
inline int RunToEnd(const std::vector<std::string> &argv, std::string *out = nullptr, std::string *err = nullptr,
               int timeoutMs = 10000)
{
    Process p(argv);
    const int status = p.Wait(timeoutMs);
    if (out)
        *out = p.out();
    if (err)
        *err = p.err();
    return status;
}

// True when `program` is found on PATH.
inline bool OnPath(const std::string &program)
{
    const char *path = ::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
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
