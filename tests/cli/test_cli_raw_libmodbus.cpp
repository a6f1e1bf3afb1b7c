// `lumoctl raw` against an independent Modbus slave: libmodbus's RTU server
// on one end of a pseudo-terminal line, lumoctl on the other.

#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "CliRunner.h"
#include "PtyBridge.h"

namespace {

constexpr int kSlave = 17;
constexpr int kHoldingStart = 0x100;
constexpr int kHoldingCount = 8;
constexpr int kInputStart = 0x200;
constexpr int kInputCount = 4;

// libmodbus serving holding registers 0x100..0x107 and input registers
// 0x200..0x203 at slave 17 until it is destroyed.
class LibmodbusSlave {
public:
    explicit LibmodbusSlave(const std::string &path)
    {
        ctx_ = modbus_new_rtu(path.c_str(), 115200, 'N', 8, 1);
        if (ctx_ == nullptr || modbus_connect(ctx_) != 0)
            throw std::runtime_error("libmodbus cannot open " + path);
        modbus_set_slave(ctx_, kSlave);
        // Wake up now and then to see whether to stop.
        modbus_set_indication_timeout(ctx_, 0, 50000);
        map_ = modbus_mapping_new_start_address(0, 0, 0, 0, kHoldingStart, kHoldingCount, kInputStart, kInputCount);
        thread_ = std::thread([this] { Serve(); });
    }
    ~LibmodbusSlave()
    {
        stop_ = true;
        thread_.join();
        modbus_mapping_free(map_);
        modbus_close(ctx_);
        modbus_free(ctx_);
    }

    void SetHolding(int reg, uint16_t value)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        map_->tab_registers[reg - kHoldingStart] = value;
    }
    void SetInput(int reg, uint16_t value)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        map_->tab_input_registers[reg - kInputStart] = value;
    }
    uint16_t Holding(int reg)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return map_->tab_registers[reg - kHoldingStart];
    }

private:
    void Serve()
    {
        uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!stop_) {
            const int length = modbus_receive(ctx_, request);
            if (length > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                modbus_reply(ctx_, request, length, map_);
            } else if (length < 0 && errno == ECONNRESET) {
                return; // the line is gone
            }
        }
    }

    modbus_t *ctx_ = nullptr;
    modbus_mapping_t *map_ = nullptr;
    std::mutex mutex_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class RawAgainstLibmodbus : public ::testing::Test {
protected:
    RawAgainstLibmodbus() : slave_(line_.pathA()) {}

    CliResult Raw(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--port", line_.pathB(), "raw"});
        return RunCli(args, 10000);
    }

    PtyBridge line_;
    LibmodbusSlave slave_;
};

TEST_F(RawAgainstLibmodbus, ReadsHoldingAndInputRegisters)
{
    slave_.SetHolding(0x101, 1000);
    slave_.SetHolding(0x102, 0xBEEF);
    slave_.SetInput(0x203, 42);

    const CliResult holding = Raw({"17", "0x03", "0x101", "2"});
    ASSERT_EQ(holding.exitCode, 0) << holding.err;
    EXPECT_NE(holding.out.find("0x0101   1000  0x03E8"), std::string::npos) << holding.out;
    EXPECT_NE(holding.out.find("0x0102  48879  0xBEEF"), std::string::npos) << holding.out;

    CliResult input = RunCli({"--port", line_.pathB(), "--json", "raw", "17", "4", "0x202", "2"}, 10000);
    ASSERT_EQ(input.exitCode, 0) << input.err;
    EXPECT_EQ(nlohmann::json::parse(input.out)["values"], nlohmann::json::parse("[0, 42]"));
}

TEST_F(RawAgainstLibmodbus, WritesSingleAndMultipleRegisters)
{
    const CliResult multiple = Raw({"17", "0x10", "0x104", "3", "10", "20", "0x1E"});
    ASSERT_EQ(multiple.exitCode, 0) << multiple.err;
    EXPECT_EQ(slave_.Holding(0x104), 10);
    EXPECT_EQ(slave_.Holding(0x105), 20);
    EXPECT_EQ(slave_.Holding(0x106), 30);

    const CliResult single = Raw({"17", "6", "0x100", "1", "65535"});
    ASSERT_EQ(single.exitCode, 0) << single.err;
    EXPECT_EQ(slave_.Holding(0x100), 0xFFFF);

    // A single write needs no count: the value follows the register.
    const CliResult bare = Raw({"17", "6", "0x101", "0x24"});
    ASSERT_EQ(bare.exitCode, 0) << bare.err;
    EXPECT_EQ(slave_.Holding(0x101), 0x24);
}

TEST_F(RawAgainstLibmodbus, RefusalIsABusFailure)
{
    // Outside the slave's map: libmodbus answers "illegal data address".
    const CliResult r = Raw({"17", "3", "0x300", "1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("(0x4001)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Modbus exception 02 (illegal data address)"), std::string::npos) << r.err;
    const CliResult j = RunCli({"--port", line_.pathB(), "--json", "raw", "17", "6", "0x300", "1", "5"}, 10000);
    EXPECT_EQ(j.exitCode, 1);
    nlohmann::json error = nlohmann::json::parse(j.out)["error"]; // not const: a missing key reads as null
    EXPECT_EQ(error["exceptionCode"], 2);
    EXPECT_EQ(error["exceptionName"], "illegal data address");

    // Another slave address: nobody answers.
    const CliResult absent = Raw({"18", "3", "0x100", "1"});
    EXPECT_EQ(absent.exitCode, 1);
    EXPECT_NE(absent.err.find("Read Data Wait... (0x2006)"), std::string::npos) << absent.err;
}

} // namespace
