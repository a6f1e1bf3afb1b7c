// The Bus backup from the main window: reading the whole bus into a bus
// file, comparing the bus with one, giving selected devices the file's
// configuration back, and noticing a unit that replaced another.
//
// The window is reached with Ctrl+B or from the result panel's menu. Its
// work takes the bus as Diagnose does: only when nothing moves, scans,
// learns or transfers, with the pages disabled and the status poll paused
// until it ends. "Stop", Esc, closing and a lost port end it between two
// devices. Every read and write goes through the window's own engine and
// attempt loop, and is recorded under the device's motor ID.

#include <QDateTime>
#include <QKeySequence>
#include <QShortcut>
#include <QTabWidget>
#include <QTimer>
#include <set>

#include "busfile/BusFile.h"
#include "busfile/BusTransfer.h"
#include "console/Controls.h"
#include "console/Modbussetting.h"
#include "modbus/ResultCode.h"
#include "sidewindows/BusBackup.h"
#include "ui/NativePath.h"
#include "ui/UserDialogs.h"

namespace {

using busfile::Comparison;
using busfile::Device;
using busfile::State;

QString FromStd(const std::string &text)
{
    return QString::fromStdString(text);
}

QString Id(uint16_t motorId)
{
    return FromStd(records::MotorIdText(motorId));
}

QString FailureText(const busfile::StepFailure &failure)
{
    return QStringLiteral("%1: %2").arg(FromStd(failure.step), QString::fromUtf8(ResultText(failure.code)));
}

// "SpeedPwm 120 -> 100, MaxPos 1000 -> 1200": what a write would change.
QString ChangesText(const std::vector<busfile::RegisterDiff> &diffs)
{
    QStringList parts;
    for (const busfile::RegisterDiff &d : diffs)
        parts << QStringLiteral("%1 %2 \u2192 %3").arg(QString::fromLatin1(d.name)).arg(d.now).arg(d.saved);
    return parts.join(QStringLiteral(", "));
}

// "restored (3 registers written and read back)", "failed: writing ...".
QString RestoreText(const busfile::DeviceRestore &r)
{
    QString text = FromStd(r.result);
    if (r.result == "restored" || r.result == "partly restored") {
        text += QStringLiteral(" (%1 register%2 written and read back)")
                    .arg(r.written.size())
                    .arg(r.written.size() == 1 ? "" : "s");
        if (!r.kept.empty()) {
            QStringList kept;
            for (const std::string &k : r.kept)
                kept << FromStd(k);
            text += QStringLiteral("; kept as the device has them: %1").arg(kept.join(QLatin1Char(' ')));
        }
    } else if (r.failure) {
        text += QStringLiteral(": ") + FailureText(*r.failure);
    } else if (!r.mismatches.empty()) {
        const busfile::RegisterDiff &m = r.mismatches.front();
        text += QStringLiteral(": reads back %1 %2, wanted %3").arg(QString::fromLatin1(m.name)).arg(m.now).arg(m.saved);
    }
    return text;
}

} // namespace

void TMODBUSSettingForm::InstallBusBackup()
{
    auto *shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_B), this);
    shortcut->setObjectName(QStringLiteral("busBackupShortcut"));
    connect(shortcut, &QShortcut::activated, this, [this] { ShowBusBackup(); });
}

void TMODBUSSettingForm::ShowBusBackup()
{
    if (!busBackup_) {
        busBackup_ = new TBusBackupForm(dialogs_, this);
        connect(busBackup_, &TBusBackupForm::BackupRequested, this, [this](const QString &path) { BackUpBus(path); });
        connect(busBackup_, &TBusBackupForm::CompareRequested, this, [this](const QString &path) { CompareBus(path); });
        connect(busBackup_, &TBusBackupForm::RestoreRequested, this, [this] { RestoreSelectedDevices(); });
    }
    busBackup_->show();
    busBackup_->raise();
    busBackup_->activateWindow();
}

QString TMODBUSSettingForm::BusWorkRefusal() const
{
    if (busWorkRunning_)
        return QStringLiteral("the Bus backup is at work; stop it first");
    if (doctorRunning_)
        return QStringLiteral("the bus doctor is running; stop it first");
    return DoctorRefusal();
}

bool TMODBUSSettingForm::BeginBusWork(const QString &what, int steps)
{
    const QString refusal = BusWorkRefusal();
    if (!refusal.isEmpty()) {
        if (busBackup_)
            busBackup_->Refused(refusal);
        else
            SetActionText(QStringLiteral("The bus is not free: %1").arg(refusal));
        return false;
    }
    busWorkRunning_ = true;
    stopBusWork_ = false;
    busWorkNotes_.clear();
    busWorkPollWasOn_ = GetDeviceStatusTimer->isActive();
    GetDeviceStatusTimer->stop();
    PageControl1->setEnabled(false);
    busWorkPort_ = state_.portName;
    if (busBackup_)
        busBackup_->WorkStarted(what, steps);
    return true;
}

void TMODBUSSettingForm::EndBusWork(const QString &outcome)
{
    busWorkRunning_ = false;
    stopBusWork_ = false;
    PageControl1->setEnabled(true);
    if (busWorkPollWasOn_ && state_.isConnected)
        GetDeviceStatusTimer->start();
    RefreshUiState(false);
    if (busBackup_)
        busBackup_->WorkFinished(busWorkNotes_.isEmpty() || outcome.isEmpty()
                                     ? outcome
                                     : outcome + QLatin1Char(' ') + busWorkNotes_.join(QStringLiteral("; ")));
}

QString TMODBUSSettingForm::BusWorkInterruption() const
{
    if (!state_.isConnected || !state_.comPort || state_.portName != busWorkPort_)
        return QStringLiteral("the port was closed");
    if (stopBusWork_ || (busBackup_ && busBackup_->StopRequested()))
        return QStringLiteral("stopped");
    return {};
}

busfile::Attempt TMODBUSSettingForm::BusWorkAttempt(int32_t tries)
{
    return [this, tries](const std::function<ResultCode()> &operation) { return TryOperation(tries, operation); };
}

std::optional<std::vector<Device>> TMODBUSSettingForm::ReadWholeBus(uint8_t from, uint8_t to,
                                                                     const std::set<uint8_t> &expected, QString &why)
{
    std::vector<Device> devices;
    const busfile::Attempt read = BusWorkAttempt(state_.cmdTryCount);
    for (int a = from; a <= to; ++a) {
        const uint8_t address = static_cast<uint8_t>(a);
        if (busBackup_)
            busBackup_->WorkStep(a - from, QStringLiteral("Scanning address %1 of %2 to %3...").arg(a).arg(from).arg(to));
        why = BusWorkInterruption();
        if (!why.isEmpty())
            return std::nullopt;
        // One probe where nobody answers; the whole attempt loop where
        // something was heard, or where the file says a device should be:
        // one lost reply must not make a device "missing".
        uint16_t status = 0, flags = 0;
        const auto probe = [&] { return registers_.ReadMotorStatus(address, status, flags); };
        ResultCode code = TryOperation(1, probe);
        if (code != Result::NoError && code != Result::PortError && (engine_.BytesHeard() > 0 || expected.count(address)))
            code = TryOperation(state_.cmdTryCount, probe);
        if (code == Result::PortError) {
            why = QStringLiteral("the port was lost at address %1").arg(a);
            return std::nullopt;
        }
        if (code != Result::NoError)
            continue;
        Device d;
        if (const auto failed = busfile::ReadDevice(engine_, read, address, d)) {
            // A bus read with a hole in it is worth nothing.
            why = FailureText(*failed);
            return std::nullopt;
        }
        // Before this read is recorded: the records' last unit here is
        // the one to hold the new one against.
        if (const std::optional<QString> replaced = CheckReplacedUnit(address, d.motorId, false))
            busWorkNotes_ << *replaced;
        NoteMotorId(address, d.motorId);
        RecordConfigRead(address, d.config, "bus backup");
        devices.push_back(d);
    }
    if (const auto shared = busfile::SharedMotorIdText(devices)) {
        why = FromStd(*shared);
        return std::nullopt;
    }
    return devices;
}

void TMODBUSSettingForm::BackUpBus(const QString &path)
{
    const uint8_t from = env_.busBackupFirstAddress, to = env_.busBackupLastAddress;
    if (!BeginBusWork(QStringLiteral("Backing up addresses %1 to %2...").arg(from).arg(to), to - from + 1))
        return;
    busfile::BusFile file;
    file.taken.time = busfile::UtcTimeText(QDateTime::currentSecsSinceEpoch());
    file.taken.station = origin_.station;
    file.taken.port = state_.portName;
    file.taken.baud = static_cast<int32_t>(connectedBaud_);
    file.taken.from = from;
    file.taken.to = to;
    QString why;
    const auto devices = ReadWholeBus(from, to, {}, why);
    if (!devices) {
        EndBusWork(QStringLiteral("Backup not saved: %1.").arg(why));
        return;
    }
    file.devices = *devices;
    std::string error;
    if (!busfile::WriteBusFile(NativePath(path), file, error)) {
        EndBusWork(QStringLiteral("Backup not saved."));
        dialogs_.Error(QStringLiteral("The backup was not saved: %1").arg(SystemText(error)));
        return;
    }
    // A backup is its own first comparison: every device the same.
    if (busBackup_)
        busBackup_->ShowComparison(path, file, busfile::Compare(file.devices, file.devices));
    EndBusWork(QStringLiteral("Backup saved: %1 device%2 in %3.")
                   .arg(file.devices.size())
                   .arg(file.devices.size() == 1 ? "" : "s")
                   .arg(path));
}

void TMODBUSSettingForm::CompareBus(const QString &path)
{
    busfile::BusFile file;
    std::string error;
    if (!busfile::ReadBusFile(NativePath(path), file, error)) {
        dialogs_.Error(FromStd(error));
        return;
    }
    // The scan reaches actuator addresses only; the file's addresses above
    // them are read one by one below.
    const uint8_t from = std::min<uint8_t>(file.taken.from, 127), to = std::min<uint8_t>(file.taken.to, 127);
    std::set<uint8_t> expected;
    for (const Device &d : file.devices)
        expected.insert(d.address);
    if (!BeginBusWork(QStringLiteral("Comparing addresses %1 to %2 with %3...").arg(from).arg(to).arg(path),
                      to - from + 1))
        return;
    QString why;
    auto devices = ReadWholeBus(from, to, expected, why);
    if (devices) {
        for (const uint8_t address : expected) {
            if (address <= to || !why.isEmpty())
                continue;
            const auto more = ReadWholeBus(address, address, expected, why);
            if (!more) {
                devices.reset();
                break;
            }
            devices->insert(devices->end(), more->begin(), more->end());
        }
        // Each read above checked its own devices; the merged list is
        // checked as a whole, or a unit at 1..127 and one above could
        // share a motor ID unnoticed.
        if (devices) {
            if (const auto shared = busfile::SharedMotorIdText(*devices)) {
                why = FromStd(*shared);
                devices.reset();
            }
        }
    }
    if (!devices) {
        EndBusWork(QStringLiteral("Comparison not finished: %1.").arg(why));
        return;
    }
    const std::vector<Comparison> result = busfile::Compare(file.devices, *devices);
    if (busBackup_)
        busBackup_->ShowComparison(path, file, result);
    const auto same = std::count_if(result.begin(), result.end(), [](const Comparison &c) { return c.state == State::Same; });
    EndBusWork(static_cast<size_t>(same) == result.size()
                   ? QStringLiteral("The bus holds what %1 holds.").arg(path)
                   : QStringLiteral("%1 of %2 devices differ from %3.").arg(result.size() - same).arg(result.size()).arg(path));
}

void TMODBUSSettingForm::RestoreSelectedDevices()
{
    if (!busBackup_)
        return;
    const std::vector<uint8_t> chosen = busBackup_->SelectedForRestore();
    std::vector<Comparison> targets;
    QStringList lines;
    for (const Comparison &c : busBackup_->Comparisons()) {
        if (std::find(chosen.begin(), chosen.end(), c.saved ? c.saved->address : 0) == chosen.end())
            continue;
        targets.push_back(c);
        const QString who = c.state == State::Replaced
                                ? FromStd(busfile::ReplacedText(c.saved->address, c.saved->motorId, c.now->motorId))
                                : QStringLiteral("%1 (%2)").arg(c.saved->address).arg(Id(c.saved->motorId));
        lines << QStringLiteral("%1: %2").arg(who, ChangesText(c.registers));
    }
    if (targets.empty())
        return;
    const QString question =
        QStringLiteral("Write the configuration of %1 to %2 device%3 and read it back?\n\n%4\n\nBaudRate is kept as "
                       "each device has it.")
            .arg(busBackup_->FilePath())
            .arg(targets.size())
            .arg(targets.size() == 1 ? "" : "s")
            .arg(lines.join(QLatin1Char('\n')));
    if (!dialogs_.ConfirmWrite(question))
        return;
    if (!BeginBusWork(QStringLiteral("Restoring %1 device%2...").arg(targets.size()).arg(targets.size() == 1 ? "" : "s"),
                      static_cast<int>(targets.size())))
        return;
    int restored = 0;
    size_t next = 0; // the first target not yet handled
    QString why;
    for (; next < targets.size(); ++next) {
        const Comparison &c = targets[next];
        const uint8_t address = c.saved->address;
        busBackup_->WorkStep(static_cast<int>(next), QStringLiteral("Restoring device %1...").arg(address));
        why = BusWorkInterruption();
        if (!why.isEmpty())
            break;
        // What was compared may have changed since: the device is read
        // again, and written only if it is still the unit compared.
        Device now;
        if (const auto failed = busfile::ReadDevice(engine_, BusWorkAttempt(state_.cmdTryCount), address, now)) {
            busBackup_->ShowRestoreResult(address, QStringLiteral("not restored: ") + FailureText(*failed), false);
            if (failed->code == Result::PortError) {
                why = QStringLiteral("the port was lost");
                ++next;
                break;
            }
            continue;
        }
        if (now.motorId != c.now->motorId || now.model != c.saved->model) {
            busBackup_->ShowRestoreResult(
                address, QStringLiteral("not restored: another unit answers there since the comparison; compare again"),
                false);
            continue;
        }
        const busfile::DeviceRestore r = RestoreBusDevice(address, c.saved->config, now, c.state != State::Replaced);
        busBackup_->ShowRestoreResult(address, RestoreText(r), r.restored());
        restored += r.restored() ? 1 : 0;
        if (r.portLost) {
            why = QStringLiteral("the port was lost");
            ++next;
            break;
        }
    }
    for (size_t i = next; i < targets.size(); ++i)
        busBackup_->ShowRestoreResult(targets[i].saved->address,
                                      QStringLiteral("not restored: %1 before its turn").arg(why), false);
    EndBusWork(QStringLiteral("%1 of %2 device%3 restored%4.")
                   .arg(restored)
                   .arg(targets.size())
                   .arg(targets.size() == 1 ? "" : "s")
                   .arg(why.isEmpty() ? QString() : QStringLiteral("; ") + why));
}

busfile::DeviceRestore TMODBUSSettingForm::RestoreBusDevice(uint8_t address, const ActuatorConfig &target,
                                                            const Device &now, bool sameUnit)
{
    busfile::RestoreOptions options;
    options.sameUnit = sameUnit;
    options.beforeReadBack = [this] {
        if (state_.comPort)
            state_.comPort->DrainInput();
    };
    busfile::DeviceRestore r = busfile::RestoreDevice(registers_, engine_, BusWorkAttempt(state_.cmdTryCount),
                                                      BusWorkAttempt(state_.cmdTryCount), address, target, now.config,
                                                      options);
    if (!r.written.empty()) {
        NoteMotorId(address, now.motorId);
        const ResultCode code = r.restored() || r.result == "partly restored"
                                    ? Result::NoError
                                    : (r.failure ? r.failure->code : Result::SetDataError);
        RecordConfigWrite(address, r.readBack ? *r.readBack : now.config, code, r.written);
    }
    return r;
}

std::optional<QString> TMODBUSSettingForm::CheckReplacedUnit(uint8_t address, uint16_t motorId, bool offer)
{
    records::RecordStore *store = HistoryStore(false);
    if (!store || !store->IsOpen())
        return std::nullopt;
    records::HistoryQuery query;
    query.address = address;
    const std::optional<uint16_t> was =
        busfile::LastUnitSeenAt(store->History(query), address, origin_.station, state_.portName);
    if (!was || *was == motorId)
        return std::nullopt;
    const QString text = FromStd(busfile::ReplacedText(address, *was, motorId));
    SetActionText(text);
    // Offered once a connection for each new unit.
    if (offer && replacedOffered_.insert({address, motorId}).second) {
        pendingReplaced_ = PendingReplaced{address, *was, motorId};
        QTimer::singleShot(0, this, [this] { OfferPendingReplaced(); });
    }
    return text;
}

void TMODBUSSettingForm::OfferPendingReplaced()
{
    if (!pendingReplaced_)
        return;
    // Asked only between two transactions: never inside the click's own
    // reads or a poll tick's, whose waits this may have been called from.
    if (pumpDepth_ > 0 || statusTickRunning_ || controlSelectRunning_) {
        QTimer::singleShot(20, this, [this] { OfferPendingReplaced(); });
        return;
    }
    const PendingReplaced offer = *pendingReplaced_;
    pendingReplaced_.reset();
    OfferRecordsRestore(offer.address, offer.was, offer.motorId);
}

void TMODBUSSettingForm::OfferRecordsRestore(uint8_t address, uint16_t was, uint16_t motorId)
{
    const QString replaced = FromStd(busfile::ReplacedText(address, was, motorId));
    records::RecordStore *store = HistoryStore(false);
    const std::optional<ActuatorConfig> old = store ? store->LastKnownConfig(was) : std::nullopt;
    if (!old) {
        SetActionText(QStringLiteral("%1; the records hold no configuration of %2").arg(replaced, Id(was)));
        return;
    }
    // The old unit's model, from the newest event that names one.
    std::optional<uint16_t> oldModel;
    records::HistoryQuery oldQuery;
    oldQuery.motorId = was;
    for (const records::Event &e : store->History(oldQuery))
        if (e.model) {
            oldModel = e.model;
            break;
        }
    if (!BeginBusWork(QStringLiteral("Reading device %1...").arg(address), 1)) {
        // Asked again at the next click on it.
        replacedOffered_.erase({address, motorId});
        return;
    }
    Device now;
    if (const auto failed = busfile::ReadDevice(engine_, BusWorkAttempt(state_.cmdTryCount), address, now)) {
        EndBusWork(QString());
        SetActionText(QStringLiteral("%1; %2").arg(replaced, FailureText(*failed)));
        return;
    }
    if (now.motorId != motorId) {
        EndBusWork(QString());
        SetActionText(QStringLiteral("%1; another unit, %2, answers there now").arg(replaced, Id(now.motorId)));
        return;
    }
    if (oldModel && *oldModel != now.model) {
        EndBusWork(QString());
        SetActionText(QStringLiteral("%1; %2 was a %3, %4 is a %5: nothing to give it")
                          .arg(replaced, Id(was), FromStd(std::string(Model::NameOf(static_cast<uint32_t>(*oldModel)))),
                               Id(motorId), FromStd(std::string(Model::NameOf(static_cast<uint32_t>(now.model))))));
        return;
    }
    // What a write would change; BaudRate stays the unit's own, and the
    // position offset is each unit's own.
    std::vector<busfile::RegisterDiff> changes;
    for (const busfile::RegisterDiff &d : busfile::DiffConfig(*old, now.config))
        if (std::string_view(d.name) != "BaudRate" && std::string_view(d.name) != "PosOffset")
            changes.push_back(d);
    if (changes.empty()) {
        EndBusWork(QString());
        SetActionText(QStringLiteral("%1; it holds the configuration of %2 already").arg(replaced, Id(was)));
        return;
    }
    const QString question = QStringLiteral("%1\n\nGive %2 the configuration %3 last had, from the service records, "
                                            "and read it back?\n\n%4")
                                 .arg(replaced, Id(motorId), Id(was), ChangesText(changes));
    // The bus stays taken while the operator decides: the unit asked about
    // is the unit written.
    if (!dialogs_.ConfirmWrite(question)) {
        EndBusWork(QString());
        return;
    }
    const busfile::DeviceRestore r = RestoreBusDevice(address, *old, now, false);
    EndBusWork(QString());
    const QString outcome = QStringLiteral("%1: %2 from the records of %3").arg(address).arg(RestoreText(r), Id(was));
    SetActionText(outcome);
    if (r.restored() || r.result == "partly restored")
        dialogs_.Information(outcome);
    else
        dialogs_.Error(outcome);
}
