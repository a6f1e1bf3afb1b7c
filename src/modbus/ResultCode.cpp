#include "modbus/ResultCode.h"

const char *ResultText(uint32_t code)
{
    switch (code) {
    case Result::NoError: return "No Error";
    case Result::ParameterError: return "Parameter Error";
    case Result::CmdRetry: return "CMD Retry";
    case Result::WaitingForErase: return "Waiting for Erase";
    case Result::WriteError: return "Write Error";
    case Result::RespondError: return "Respond Error";
    case Result::ReadError: return "Read Error";
    case Result::ReadHeadError: return "Read Head Error";
    case Result::ReadCommandError: return "Read command Error";
    case Result::ReceivedDataError: return "Received data error";
    case Result::ChecksumError: return "Checksum Error";
    case Result::ReadDataWait: return "Read Data Wait...";
    case Result::AckError: return "Ack Error";
    case Result::SetDataError: return "Set Data Error";
    case Result::PortError: return "Port Error";
    default: return "unknow Error";
    }
}

const char *ExceptionName(uint8_t code)
{
    switch (code) {
    case 0x01: return "illegal function";
    case 0x02: return "illegal data address";
    case 0x03: return "illegal data value";
    case 0x04: return "server device failure";
    case 0x05: return "acknowledge";
    case 0x06: return "server device busy";
    case 0x0A: return "gateway path unavailable";
    case 0x0B: return "gateway target device failed to respond";
    default: return nullptr;
    }
}
