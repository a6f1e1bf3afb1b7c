// The Debug page: one raw Modbus request at a time, the memo and "CMD try".

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <array>
#include <optional>

#include "config/ConfigRules.h"
#include "console/Controls.h"
#include "console/Modbussetting.h"
#include "modbus/ResultCode.h"

namespace {

// Positions of FunCodeComboBox.
enum FunctionItem { ReadHoldingItem = 0, ReadInputItem = 1, WriteSingleItem = 2, WriteMultipleItem = 3,
                    UndefinedFunctionItem = 4 };

constexpr std::array<uint8_t, 5> kFunctionCodes = {Fc::ReadHolding, Fc::ReadInput, Fc::WriteSingle,
                                                   Fc::WriteMultiple, 0x01};

// The register each list position selects; the address comes from the
// position, never from the item's text.
constexpr std::array<uint16_t, 17> kHoldingAddresses = {
    Reg::Address,    Reg::Name,        Reg::CurrentPos, Reg::MaxPos,        Reg::RearLimit, Reg::FrontLimit,
    Reg::CurrentLimit, Reg::SpeedPwm,  Reg::ActionCmdIn, Reg::GoToPos,      Reg::SettingFlag, Reg::VoltageOut,
    Reg::PosOffset,  Reg::KeyInLock,   Reg::HallPotSelect, Reg::BaudRate,   0x2000};
constexpr std::array<uint16_t, 9> kInputAddresses = {0x003F, 0x0040, 0x0041, 0x0042, 0x0043,
                                                     0x0044, 0x0045, 0x0046, Reg::RearLimit};

constexpr uint16_t kNoRegister = 0xFFFF;
constexpr int kValueEdits = 6;
constexpr size_t kReadBufferWords = 20;

uint16_t RegisterAt(int functionItem, int position)
{
    if (functionItem == ReadInputItem)
        return position >= 0 && position < static_cast<int>(kInputAddresses.size()) ? kInputAddresses[position]
                                                                                      : kNoRegister;
    return position >= 0 && position < static_cast<int>(kHoldingAddresses.size()) ? kHoldingAddresses[position]
                                                                                    : kNoRegister;
}

// An edit's integer taken modulo 2^bits (the conversion to the unsigned type
// wraps); nothing when the text is no integer.
template <class Word> std::optional<Word> WrappedNumber(const QLineEdit *edit)
{
    const std::optional<long> v = ParseDecimal(edit->text().toStdString());
    if (!v)
        return std::nullopt;
    return static_cast<Word>(*v);
}

} // namespace

void TMODBUSSettingForm::FunCodeComboBoxSelect()
{
    RegisterComboBox->clear();
    const int item = FunCodeComboBox->currentIndex();
    if (item < 0 || item >= static_cast<int>(kFunctionCodes.size())) {
        state_.debugFunctionCode = 0;
        return;
    }

    for (QLineEdit *edit : RegValueEdits) {
        edit->setEnabled(false);
        edit->setText(QString());
        edit->hide();
    }
    RegValue1Edit->show();

    RegisterComboBox->addItems(item == ReadInputItem ? state_.inputRegisterNames : state_.holdingRegisterNames);
    RegisterComboBox->setCurrentIndex(0);
    RegCountsComboBox->setCurrentIndex(1);
    // A single write carries exactly one value, so its count is fixed.
    RegCountsComboBox->setEnabled(item != WriteSingleItem);
    if (item == WriteSingleItem)
        RegValue1Edit->setEnabled(true);
    if (item == WriteMultipleItem)
        for (QLineEdit *edit : RegValueEdits)
            edit->setEnabled(true);

    state_.debugFunctionCode = kFunctionCodes[item];
    state_.debugRegCount = 1;
    state_.debugRegister = RegisterAt(item, RegisterComboBox->currentIndex());
}

void TMODBUSSettingForm::RegisterComboBoxSelect()
{
    state_.debugRegister = RegisterAt(FunCodeComboBox->currentIndex(), RegisterComboBox->currentIndex());
}

void TMODBUSSettingForm::RegisterComboBoxChange()
{
    state_.debugRegister = RegisterAt(FunCodeComboBox->currentIndex(), RegisterComboBox->currentIndex());
}

void TMODBUSSettingForm::RegCountsComboBoxSelect()
{
    for (QLineEdit *edit : RegValueEdits)
        edit->hide();
    const int count = RegCountsComboBox->currentIndex();
    state_.debugRegCount = static_cast<uint16_t>(count > 0 ? count : 0);
    if (FunCodeComboBox->currentIndex() != WriteMultipleItem)
        return; // reads and the single write show no value edit here
    if (count < 1 || count > kValueEdits) {
        state_.debugRegCount = 0;
        return;
    }
    for (int i = 0; i < count; ++i)
        RegValueEdits[i]->show();
}

void TMODBUSSettingForm::dSendCMDButtonClick()
{
    state_.lastResult = Result::NoError;
    const std::optional<uint8_t> typed = WrappedNumber<uint8_t>(AddressEdit);
    const uint8_t address = typed ? *typed : state_.controlDeviceId;
    const uint8_t function = state_.debugFunctionCode;
    const uint16_t count = state_.debugRegCount;

    switch (FunCodeComboBox->currentIndex()) {
    case ReadHoldingItem:
    case ReadInputItem:
    case UndefinedFunctionItem: {
        // Until a function code is chosen there is none to send: a request
        // with function 0 is no Modbus request at all.
        if (function == 0 || count > kReadBufferWords) {
            state_.lastResult = Result::ParameterError;
            break;
        }
        // The words are received and dropped: the page reports only the
        // transaction's result.
        std::array<uint16_t, kReadBufferWords> words{};
        state_.lastResult = engine_.ReadRegisters(function, address, state_.debugRegister, count, words.data());
        break;
    }
    case WriteSingleItem: {
        const std::optional<uint16_t> value = WrappedNumber<uint16_t>(RegValue1Edit);
        if (!value || count > kValueEdits) {
            state_.lastResult = Result::ParameterError;
            break;
        }
        // A whole row of words, so that no count can read past the value.
        std::array<uint16_t, kValueEdits> values{};
        values[0] = *value;
        state_.lastResult = engine_.WriteRegisters(function, address, state_.debugRegister, count, values.data());
        NoteDebugWrites(address, count, values.data());
        break;
    }
    case WriteMultipleItem: {
        if (count == 0 || count > kValueEdits) {
            state_.lastResult = Result::ParameterError;
            break;
        }
        std::array<uint16_t, kValueEdits> values{};
        bool complete = true;
        for (uint16_t k = 0; k < count && complete; ++k) {
            const std::optional<uint16_t> value = WrappedNumber<uint16_t>(RegValueEdits[k]);
            complete = value.has_value();
            if (value)
                values[k] = *value;
        }
        if (!complete) {
            state_.lastResult = Result::ParameterError;
            break;
        }
        state_.lastResult = engine_.WriteRegisters(function, address, state_.debugRegister, count, values.data());
        NoteDebugWrites(address, count, values.data());
        break;
    }
    default:
        break; // no function code selected: nothing to send
    }
    RefreshUiState(false);
}

void TMODBUSSettingForm::NoteDebugWrites(uint8_t address, uint16_t count, const uint16_t *values)
{
    // A raw write can set an actuator moving as surely as "▲": the Esc and
    // the stops on closing must know of it.
    for (uint16_t k = 0; k < count; ++k)
        NoteMotionWrite(address, static_cast<uint16_t>(state_.debugRegister + k), values[k],
                        static_cast<ResultCode>(state_.lastResult));
}

void TMODBUSSettingForm::dClearButtonClick()
{
    debugMemo->clear();
}

void TMODBUSSettingForm::debugMemoDblClick()
{
    // Only an emptied memo opens the hidden group, and only once.
    if (!debugMemo->toPlainText().isEmpty())
        return;
    if (!TestGroupBox->isHidden() || TestGroupBox->isEnabled())
        return;
    TestGroupBox->show();
    TestGroupBox->setEnabled(true);
}

void TMODBUSSettingForm::CMDTryCountUpDownClick()
{
    const int position = CMDTryCountUpDown->Position();
    if (position < 1) {
        state_.cmdTryCount = 3;
        CMDTryCountUpDown->SetPosition(3);
        return;
    }
    state_.cmdTryCount = position;
}
