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
