#pragma once
// A virtual bus in the test process and lumoctl run against it, with the
// bus's frame log to see what really went over the line.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "CliRunner.h"
#include "VirtualBus.h"
#include "modbus/Registers.h"

using lumosim::DeviceOptions;
using lumosim::LoggedFrame;
using lumosim::VirtualBus;

// A request as the bus heard it: address, function, and for 0x06 the
// register and value.
struct HeardWrite {
    uint8_t address;
    uint16_t reg;
    uint16_t value;
    bool operator==(const HeardWrite &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const HeardWrite &w)
{
    return os << "{" << int(w.address) << ", 0x" << std::hex << w.reg << std::dec << ", " << w.value << "}";
}

class CliBusTest : public ::testing::Test {
protected:
    // Motion runs 50 times faster than on a real actuator. Learning lasts
    // LearningMs of real time whatever the scale: long enough for the
    // learning watch, which polls every 200 ms, to see the flag go up.
    void StartBus(const std::vector<DeviceOptions> &devices, double timeScale = 50)
    {
        lumosim::BusOptions options;
        options.timeScale = timeScale;
        options.learnDurationMs = LearnDuration(timeScale);
        bus_ = std::make_unique<VirtualBus>(options);
        for (const DeviceOptions &d : devices)
            ASSERT_TRUE(bus_->AddDevice(d));
        ASSERT_TRUE(bus_->Start());
    }

    // A bus with options of its own (the line's rate, adapter, echo, noise).
    void StartBus(const lumosim::BusOptions &options, const std::vector<DeviceOptions> &devices)
    {
        bus_ = std::make_unique<VirtualBus>(options);
        for (const DeviceOptions &d : devices)
            ASSERT_TRUE(bus_->AddDevice(d));
        ASSERT_TRUE(bus_->Start());
    }

    VirtualBus &bus() { return *bus_; }

public:
    static constexpr double LearningMs = 800;
    // The learnDurationMs that makes learning last LearningMs at `timeScale`.
    static uint32_t LearnDuration(double timeScale) { return static_cast<uint32_t>(LearningMs * timeScale); }

protected:

    // lumoctl --port <the bus> <args...>
    CliResult Run(std::vector<std::string> args, int timeoutMs = 30000)
    {
        args.insert(args.begin(), {"--port", bus_->DevicePath()});
        return RunCli(args, timeoutMs);
    }

    std::vector<LoggedFrame> Requests() const
    {
        std::vector<LoggedFrame> out;
        for (const LoggedFrame &f : bus_->FrameLog())
            if (f.fromMaster)
                out.push_back(f);
        return out;
    }

    // The single-register writes (0x06) the bus heard, in order.
    std::vector<HeardWrite> Writes() const
    {
        std::vector<HeardWrite> out;
        for (const LoggedFrame &f : Requests())
            if (f.bytes.size() == 8 && f.bytes[1] == Fc::WriteSingle)
                out.push_back({f.bytes[0], static_cast<uint16_t>(f.bytes[2] << 8 | f.bytes[3]),
                               static_cast<uint16_t>(f.bytes[4] << 8 | f.bytes[5])});
        return out;
    }

    // True when nothing at all reaches the bus within a short while.
    bool BusStaysQuiet() const { return !bus_->WaitForFrames(1, 150); }

    std::string TempFile(const std::string &name) const
    {
        return ::testing::TempDir() + "lumoctl-" + std::to_string(::getpid()) + "-" + name;
    }

    static void WriteBytes(const std::string &path, const std::vector<uint8_t> &bytes)
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    static std::vector<uint8_t> ReadBytes(const std::string &path)
    {
        std::ifstream f(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    }

    static nlohmann::json Json(const CliResult &r) { return nlohmann::json::parse(r.out); }

    std::unique_ptr<VirtualBus> bus_;
};

// The 22 bytes of a configuration file: eleven words, low byte first.
inline std::vector<uint8_t> ConfigBytes(const std::vector<uint16_t> &words)
{
    std::vector<uint8_t> bytes;
    for (uint16_t w : words) {
        bytes.push_back(static_cast<uint8_t>(w & 0xFF));
        bytes.push_back(static_cast<uint8_t>(w >> 8));
    }
    return bytes;
}

inline DeviceOptions Device(uint8_t address, uint16_t model)
{
    DeviceOptions d;
    d.address = address;
    d.model = model;
    return d;
}
