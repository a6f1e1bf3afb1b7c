// Giving the selected actuator a new bus address: the check of the typed
// address and "Renew ID".

#include <QLineEdit>
#include <QListWidget>
#include <QPalette>
#include <QTableWidget>
#include <optional>

#include "config/ConfigRules.h"
#include "console/Modbussetting.h"
#include "ui/UserDialogs.h"
#include "modbus/ResultCode.h"

namespace {

constexpr long kLowestAddress = 1;
constexpr long kHighestAddress = 127;

// Red marks an address that can never be applied; the normal colour is the
// window-text colour of the edit's own palette, in every colour group.
void SetTextColour(QLineEdit *edit, bool red)
{
    QPalette palette = edit->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::Text, red ? QColor(Qt::red) : palette.color(group, QPalette::WindowText));
    edit->setPalette(palette);
}

std::optional<long> CaptionNumber(const QTableWidget *list, int row)
{
    const QTableWidgetItem *item = list->item(row, 0);
    if (!item)
        return std::nullopt;
    return ParseDecimal(item->text().toStdString());
}

} // namespace

void TMODBUSSettingForm::NewDeviceIDEditChange()
{
    SetTextColour(NewDeviceIDEdit, false);
    auto reject = [this](bool red) {
        SetTextColour(NewDeviceIDEdit, red);
        state_.newDeviceId = 0;
        RefreshUiState(false);
    };

    const std::optional<long> typed = ParseDecimal(NewDeviceIDEdit->text().toStdString());
    if (!typed)
        return reject(false);
    const long v = *typed;
    // The selected device's own address offers nothing to apply, but it is
    // no mistake either: a click on a row puts exactly that text here.
    if (v == state_.selectedDeviceId)
        return reject(false);
    if (v < kLowestAddress || v > kHighestAddress)
        return reject(true);
    for (int row = 0; row < BusDevicesListView->rowCount(); ++row) {
        const std::optional<long> listed = CaptionNumber(BusDevicesListView, row);
        if (listed && *listed == v)
            return reject(true); // taken by another device on the bus
    }
    state_.newDeviceId = static_cast<uint8_t>(v);
    RefreshUiState(false);
}

void TMODBUSSettingForm::modifyDeviceIDButtonClick()
{
    // Both addresses are fixed for the whole change: the waits below handle
    // window messages, and an edit typed or a row clicked meanwhile must not
    // make the lists show an address the device was never given.
    const uint8_t from = state_.selectedDeviceId;
    const uint8_t to = state_.newDeviceId;
    if (from == 0 || to == 0)
        return;

    // The list shows only what the last scan found. Two devices at one
    // address garble each other's every reply, a fault the operator can
    // neither see nor easily undo, so the new address is asked once right
    // before the write: anything heard there (a reply, an exception, a bad
    // checksum, garbled bytes) leaves the device where it is.
    const bool answers = [this, to] {
        uint16_t motion = 0;
        uint16_t flags = 0;
        const ResultCode probe = registers_.ReadMotorStatus(to, motion, flags);
        return probe == Result::NoError || engine_.BytesHeard() > 0;
    }();
    if (answers) {
        SetTextColour(NewDeviceIDEdit, true);
        state_.newDeviceId = 0;
        SetActionText(QString::asprintf("Something answers at ID %d already", to));
        RefreshUiState(false);
        return;
    }

    const ResultCode written = registers_.WriteAddress(from, to);
    state_.lastResult = written;
    RefreshUiState(false);
    if (state_.lastResult != Result::NoError) {
        RecordAddressChange(from, to, written, "the write was refused");
        return;
    }

    // The device must answer at its new address before the lists say so.
    const ResultCode answered = RunAttempts(engine_, state_.cmdTryCount, state_.commandGapMs, state_.lastResult,
                                            [this, to] {
                                                uint16_t motion = 0;
                                                uint16_t flags = 0;
                                                return registers_.ReadMotorStatus(to, motion, flags);
                                            },
                                            {{}, [this] { RefreshUiState(false); }});
    RecordAddressChange(from, to, answered,
                        answered == Result::NoError ? ""
                                                    : "written, but the actuator did not answer at the new address");
    if (state_.lastResult != Result::NoError) {
        // Written but not confirmed: which actuator answers at either
        // address is not known any more. (A confirmed change carries the
        // motor ID over to the new address as it records the change.)
        ForgetMotorId(from);
        ForgetMotorId(to);
        return;
    }

    const QString oldCaption = QString::asprintf("%i", from);
    const QString newCaption = QString::asprintf("%i", to);
    for (int row = 0; row < BusDevicesListView->rowCount(); ++row) {
        QTableWidgetItem *item = BusDevicesListView->item(row, 0);
        if (!item || item->text() != oldCaption)
            continue;
        item->setText(newCaption);
        // The selection follows the device unless the operator picked
        // another row while the change was being verified.
        if (state_.selectedDeviceId == from) {
            SetEditText(DeviceIDEdit, newCaption);
            state_.selectedDeviceId = to;
        }
        state_.newDeviceId = 0;
        RefreshUiState(false);
        break;
    }

    MODBusDevicesListBox->clear();
    SetControlDevice(0);
    for (int row = 0; row < BusDevicesListView->rowCount(); ++row) {
        const QTableWidgetItem *item = BusDevicesListView->item(row, 0);
        MODBusDevicesListBox->addItem(item ? item->text() : QString());
    }
    RefreshUiState(false);

    dialogs_.Information(QStringLiteral("Update device ID (Address) successfully !"));
}
