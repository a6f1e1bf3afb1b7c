#include "config/ConfigTransfer.h"

#include <algorithm>
#include <iterator>
#include <string_view>

namespace {

using ReadOp = ResultCode (ActuatorRegisters::*)(uint8_t, uint16_t &);
using WriteOp = ResultCode (ActuatorRegisters::*)(uint8_t, uint16_t);

struct ReadStep {
    ReadOp read;
    uint16_t ActuatorConfig::*word;
};

struct WriteStep {
    WriteOp write;
    uint16_t ActuatorConfig::*word;
    const char *name;
};

constexpr ReadStep kReadOrder[] = {
    {&ActuatorRegisters::ReadMaxPos, &ActuatorConfig::MaxPos},
    {&ActuatorRegisters::ReadRearLimit, &ActuatorConfig::RearLimit},
    {&ActuatorRegisters::ReadFrontLimit, &ActuatorConfig::FrontLimit},
    {&ActuatorRegisters::ReadCurrentLimit, &ActuatorConfig::CurrentLimit},
    {&ActuatorRegisters::ReadSpeedPwm, &ActuatorConfig::SpeedPwm},
    {&ActuatorRegisters::ReadSettingFlag, &ActuatorConfig::SettingFlag},
    {&ActuatorRegisters::ReadVoltageOut, &ActuatorConfig::VoltageOut},
    {&ActuatorRegisters::ReadHallPotSelect, &ActuatorConfig::HallPotSelect},
    {&ActuatorRegisters::ReadBaudRate, &ActuatorConfig::BaudRate},
    {&ActuatorRegisters::ReadPosOffset, &ActuatorConfig::PosOffset},
};

// VoltageOut goes last, after the bus settings.
constexpr WriteStep kWriteOrder[] = {
    {&ActuatorRegisters::WriteMaxPos, &ActuatorConfig::MaxPos, "MaxPos"},
    {&ActuatorRegisters::WriteRearLimit, &ActuatorConfig::RearLimit, "RearLimit"},
    {&ActuatorRegisters::WriteFrontLimit, &ActuatorConfig::FrontLimit, "FrontLimit"},
    {&ActuatorRegisters::WriteCurrentLimit, &ActuatorConfig::CurrentLimit, "CurrentLimit"},
    {&ActuatorRegisters::WriteSpeedPwm, &ActuatorConfig::SpeedPwm, "SpeedPwm"},
    {&ActuatorRegisters::WriteSettingFlag, &ActuatorConfig::SettingFlag, "SettingFlag"},
    {&ActuatorRegisters::WriteHallPotSelect, &ActuatorConfig::HallPotSelect, "HallPotSelect"},
    {&ActuatorRegisters::WriteBaudRate, &ActuatorConfig::BaudRate, "BaudRate"},
    {&ActuatorRegisters::WriteVoltageOut, &ActuatorConfig::VoltageOut, "VoltageOut"},
};

// The published order is the one written here.
constexpr bool SameWriteOrder()
{
    if (std::size(kWriteOrder) != kConfigWriteOrder.size())
        return false;
    for (size_t i = 0; i < kConfigWriteOrder.size(); ++i)
        if (std::string_view(kWriteOrder[i].name) != kConfigWriteOrder[i])
            return false;
    return true;
}
static_assert(SameWriteOrder());

void Refresh(TransferContext &context)
{
    if (context.refreshUiState)
        context.refreshUiState(false);
}

// Runs one register operation in the attempt loop; true when it succeeded.
bool Attempt(ActuatorRegisters &registers, TransferContext &context, const std::function<ResultCode()> &operation)
{
    const AttemptHooks hooks{{}, [&context] { Refresh(context); }};
    return RunAttempts(registers.engine(), context.cmdTryCount, context.commandGapMs, context.lastResult, operation,
                       hooks) == Result::NoError;
}

// Holds isBusy for the whole read, whichever way it returns.
class BusyScope {
public:
    explicit BusyScope(bool &flag) : flag_(flag) { flag_ = true; }
    ~BusyScope() { flag_ = false; }
    BusyScope(const BusyScope &) = delete;
    BusyScope &operator=(const BusyScope &) = delete;

private:
    bool &flag_;
};

} // namespace

bool ReadConfig(ActuatorRegisters &registers, uint8_t address, ActuatorConfig *record, TransferContext &context)
{
    BusyScope busy(context.isBusy);
    if (address == 0 || record == nullptr) {
        context.lastResult = Result::ParameterError;
        Refresh(context);
        return false;
    }
    for (const ReadStep &step : kReadOrder) {
        // The operation writes its out-value only on success, so a failed
        // register leaves its word as it was.
        uint16_t &word = record->*step.word;
        if (!Attempt(registers, context, [&] { return (registers.*step.read)(address, word); }))
            return false;
    }
    context.posOffset = 0;
    return true;
}

bool WriteConfig(ActuatorRegisters &registers, uint8_t address, const ActuatorConfig *record,
                 TransferContext &context, size_t *written)
{
    if (written != nullptr)
        *written = 0;
    if (address == 0 || record == nullptr) {
        context.lastResult = Result::ParameterError;
        Refresh(context);
        return false;
    }
    for (const WriteStep &step : kWriteOrder) {
        const uint16_t value = record->*step.word;
        if (!Attempt(registers, context, [&] { return (registers.*step.write)(address, value); }))
            return false;
        if (written != nullptr)
            ++*written;
    }
    return true;
}

WriteReadBack ReadBackFailedWrite(ActuatorRegisters &registers, uint8_t address, const ActuatorConfig &sent,
                                  size_t written, TransferContext &context)
{
    WriteReadBack result;
    result.taken = written;
    // A refusal before sending (ParameterError) left nothing to confirm.
    if (address == 0 || written >= std::size(kWriteOrder) || context.lastResult == Result::ParameterError)
        return result;
    const uint16_t ActuatorConfig::*word = kWriteOrder[written].word;
    const auto step = std::find_if(std::begin(kReadOrder), std::end(kReadOrder),
                                   [word](const ReadStep &s) { return s.word == word; });
    if (step == std::end(kReadOrder))
        return result;
    const uint32_t failure = context.lastResult;
    {
        BusyScope busy(context.isBusy);
        result.read = Attempt(registers, context, [&] { return (registers.*(step->read))(address, result.value); });
    }
    context.lastResult = failure;
    Refresh(context);
    if (result.read && result.value == sent.*word)
        result.taken = written + 1;
    return result;
}
