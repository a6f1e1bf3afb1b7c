#pragma once
// Keeps a "this is under way" flag true for exactly the lifetime of one
// handler run, also if something escapes the handler.

class FlagScope {
public:
    explicit FlagScope(bool &running) : running_(running) { running_ = true; }
    ~FlagScope() { running_ = false; }
    FlagScope(const FlagScope &) = delete;
    FlagScope &operator=(const FlagScope &) = delete;

private:
    bool &running_;
};
