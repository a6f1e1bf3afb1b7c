// Our master against libmodbus, an independent RTU implementation, acting as
// the slave: proves the frames are real Modbus, not a private dialect.

#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <atomic>
#include <thread>

#include "PtyBridge.h"
#include "modbus/RtuEngine.h"

namespace {

class LibmodbusSlave {
public:
    LibmodbusSlave(const std::string &path, int slaveId)
    {
        ctx_ = modbus_new_rtu(path.c_str(), 115200, 'N', 8, 1);
        modbus_set_slave(ctx_, slaveId);
        // holding 0x0000..0x003F, input 0x0000..0x004F
        map_ = modbus_mapping_new_start_address(0, 0, 0, 0, 0x0000, 0x40, 0x0000, 0x50);
        if (modbus_connect(ctx_) != 0)
            throw std::runtime_error("libmodbus could not open the line");
        modbus_set_indication_timeout(ctx_, 0, 50000);
        thread_ = std::thread([this] { Serve(); });
    }
    ~LibmodbusSlave()
    {
        stop_ = true;
        thread_.join();
        modbus_close(ctx_);
        modbus_mapping_free(map_);
        modbus_free(ctx_);
    }
    modbus_mapping_t *map() { return map_; }

private:
    void Serve()
    {
        uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!stop_) {
            const int n = modbus_receive(ctx_, query);
            if (n > 0)
                modbus_reply(ctx_, query, n, map_);
            else if (n < 0 && errno == ECONNRESET)
                break;
        }
    }
    modbus_t *ctx_ = nullptr;
    modbus_mapping_t *map_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(LibmodbusInterop, ReadsWritesAndExceptionsAgainstAnIndependentSlave)
{
    PtyBridge line;
    LibmodbusSlave slave(line.pathA(), 7);
    slave.map()->tab_registers[0x20] = 1000;
    slave.map()->tab_registers[0x21] = 50;
    slave.map()->tab_input_registers[0x3F] = 1;
    slave.map()->tab_input_registers[0x40] = 0x80;

    auto comPort = std::make_unique<C_ComPort>();
    ASSERT_TRUE(comPort->Open(line.pathB(), 115200, 2048));
    uint32_t responseDelayMs = 30;
    RtuEngine engine{comPort, responseDelayMs};

    uint16_t words[2] = {};
    ASSERT_EQ(engine.ReadRegisters(0x03, 7, 0x20, 2, words), Result::NoError);
    EXPECT_EQ(words[0], 1000);
    EXPECT_EQ(words[1], 50);
    ASSERT_EQ(engine.ReadRegisters(0x04, 7, 0x3F, 2, words), Result::NoError);
    EXPECT_EQ(words[0], 1);
    EXPECT_EQ(words[1], 0x80);

    const uint16_t speed = 55;
    ASSERT_EQ(engine.WriteRegisters(0x06, 7, 0x24, 1, &speed), Result::NoError);
    EXPECT_EQ(slave.map()->tab_registers[0x24], 55);
    const uint16_t limits[3] = {10, 20, 30};
    ASSERT_EQ(engine.WriteRegisters(0x10, 7, 0x21, 3, limits), Result::NoError);
    EXPECT_EQ(slave.map()->tab_registers[0x21], 10);
    EXPECT_EQ(slave.map()->tab_registers[0x23], 30);

    // libmodbus answers a register outside its map with "illegal data address".
    uint8_t pdu[] = {0x03, 0x20, 0x00, 0x00, 0x01};
    ASSERT_EQ(engine.SendRequest(7, pdu, sizeof pdu), Result::NoError);
    engine.WaitForReply(responseDelayMs);
    uint8_t out[20];
    int32_t length = 0;
    EXPECT_EQ(engine.ReceiveResponse(7, out, sizeof out, length, false), Result::ExceptionReply);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(out[0], MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    EXPECT_EQ(engine.ReadRegisters(0x03, 7, 0x2000, 1, words), Result::ExceptionReply);

    // Another slave address on the same line stays silent.
    EXPECT_EQ(engine.ReadRegisters(0x03, 8, 0x20, 1, words), Result::ReadDataWait);
}

} // namespace
