#include "sidewindows/BusMonitor.h"

#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <string_view>

#include "config/SafeFile.h"
#include "ui/NativePath.h"
#include "ui/UserDialogs.h"
#include "modbus/ResultCode.h"

namespace {

QString Hex(const std::vector<uint8_t> &bytes)
{
    const QByteArray raw(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    return QString::fromLatin1(raw.toHex(' ').toUpper());
}

const char *Direction(FrameKind kind)
{
    switch (kind) {
    case FrameKind::Request: return "M>S";
    case FrameKind::Echo: return "echo";
    case FrameKind::Reply: return "S>M";
    case FrameKind::Stale: return "stale";
    case FrameKind::Finished: break;
    }
    return "";
}

// A CSV field in quotes, quotes within doubled: decoded words hold commas
// ("ActionCmdIn=3 (Stop), broadcast").
QString Quoted(const QString &text)
{
    QString out = text;
    out.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + out + QLatin1Char('"');
}

QString Ms(const std::optional<uint32_t> &ms)
{
    return ms ? QString::number(*ms) : QStringLiteral("-");
}

// The last three columns are the time from the end of a request's write to
// the first byte of its reply read from the port. The window reads a reply
// only after its fixed reply wait (30 ms at 115200 baud), so they cannot
// tell when a device answered, only when its reply was read: the header
// says so, and the tooltip why.
const char *const kDeviceColumns[] = {"Address",    "Requests", "Good",   "Silent",
                                      "CRC errors", "Unreadable", "Exceptions", "Echoes",
                                      "Collisions suspected", "Reply read after min ms", "median ms", "max ms"};
constexpr int kFirstReplyReadColumn = 9;

QPushButton *MakeButton(QWidget *parent, const char *name, const QString &text)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

} // namespace

TBusMonitorForm::TBusMonitorForm(const BusHealth &health, UserDialogs &dialogs, QWidget *parent)
    : QWidget(parent, Qt::Window), health_(health), dialogs_(dialogs)
{
    setObjectName(QStringLiteral("BusMonitorForm"));
    setWindowTitle(QStringLiteral("Bus monitor"));
    BuildControls();
    refreshTimer_ = new QTimer(this);
    refreshTimer_->setObjectName(QStringLiteral("monitorRefreshTimer"));
    refreshTimer_->setInterval(RefreshMs);
    connect(refreshTimer_, &QTimer::timeout, this, [this] { Refresh(); });
    RefreshControls();
}

void TBusMonitorForm::BuildControls()
{
    resize(820, 600);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);

    auto *top = new QHBoxLayout;
    pauseButton = MakeButton(this, "pauseButton", QStringLiteral("Pause"));
    pauseButton->setCheckable(true);
    pauseButton->setToolTip(QStringLiteral("Stop adding frames to the list; the devices are still counted"));
    clearButton = MakeButton(this, "clearButton", QStringLiteral("Clear"));
    clearButton->setToolTip(QStringLiteral("Empty the frame list (the counters stay)"));
    auto *filterLabel = new QLabel(QStringLiteral("Address:"), this);
    addressFilterEdit = new QLineEdit(this);
    addressFilterEdit->setObjectName(QStringLiteral("addressFilterEdit"));
    addressFilterEdit->setPlaceholderText(QStringLiteral("all"));
    addressFilterEdit->setMaxLength(3);
    addressFilterEdit->setFixedWidth(60);
    addressFilterEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), addressFilterEdit));
    addressFilterEdit->setToolTip(
        QStringLiteral("Show the frames of one slave address only (1 to 247, 0 for broadcasts); empty for all"));
    filterProblemLabel = new QLabel(QStringLiteral("no such address: 1 to 247, or 0 for broadcasts"), this);
    filterProblemLabel->setObjectName(QStringLiteral("filterProblemLabel"));
    QPalette problemPalette = filterProblemLabel->palette();
    problemPalette.setColor(QPalette::WindowText, Qt::red);
    filterProblemLabel->setPalette(problemPalette);
    filterProblemLabel->hide();
    saveButton = MakeButton(this, "saveButton", QStringLiteral("Save..."));
    saveButton->setToolTip(QStringLiteral("Save the listed frames as text (.txt) or as a table (.csv)"));
    diagnoseButton = MakeButton(this, "diagnoseButton", QStringLiteral("Diagnose"));
    diagnoseButton->setToolTip(QStringLiteral("Look for what is wrong with the bus: echo, two devices at one "
                                              "address, noise, devices at another baud rate"));
    top->addWidget(pauseButton);
    top->addWidget(clearButton);
    top->addSpacing(12);
    top->addWidget(filterLabel);
    top->addWidget(addressFilterEdit);
    top->addWidget(filterProblemLabel);
    top->addStretch(1);
    top->addWidget(saveButton);
    top->addWidget(diagnoseButton);

    framesView = new QPlainTextEdit(this);
    framesView->setObjectName(QStringLiteral("framesView"));
    framesView->setReadOnly(true);
    framesView->setLineWrapMode(QPlainTextEdit::NoWrap);
    framesView->setMaximumBlockCount(KeptFrames);
    framesView->setFont(fixed);
    framesView->setUndoRedoEnabled(false);

    devicesTable = new QTableWidget(0, static_cast<int>(std::size(kDeviceColumns)), this);
    devicesTable->setObjectName(QStringLiteral("devicesTable"));
    QStringList headers;
    for (const char *column : kDeviceColumns)
        headers << QString::fromLatin1(column);
    devicesTable->setHorizontalHeaderLabels(headers);
    for (int column = kFirstReplyReadColumn; column < devicesTable->columnCount(); ++column)
        devicesTable->horizontalHeaderItem(column)->setToolTip(
            QStringLiteral("From the end of the request to the first byte of the reply read from the port. "
                           "The window reads a reply only after its fixed reply wait, so this is at least "
                           "that wait, not the time the device took to answer."));
    devicesTable->verticalHeader()->hide();
    devicesTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    devicesTable->setSelectionMode(QAbstractItemView::NoSelection);
    // Sized to the contents when a device comes, not at every change: a
    // header that follows its contents measures every cell at each update.
    devicesTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    devicesTable->verticalHeader()->setDefaultSectionSize(20);

    auto *doctor = new QWidget(this);
    auto *doctorLayout = new QVBoxLayout(doctor);
    doctorLayout->setContentsMargins(0, 0, 0, 0);
    doctorStepLabel = new QLabel(doctor);
    doctorStepLabel->setObjectName(QStringLiteral("doctorStepLabel"));
    findingsView = new QPlainTextEdit(doctor);
    findingsView->setObjectName(QStringLiteral("findingsView"));
    findingsView->setReadOnly(true);
    findingsView->setPlaceholderText(QStringLiteral("Diagnose probes the bus at every baud rate and lists here "
                                                    "what it found, with the next step for each finding."));
    doctorLayout->addWidget(doctorStepLabel);
    doctorLayout->addWidget(findingsView);

    auto *splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(framesView);
    splitter->addWidget(devicesTable);
    splitter->addWidget(doctor);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    splitter->setStretchFactor(2, 1);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(splitter, 1);

    connect(pauseButton, &QPushButton::clicked, this, [this] { PauseButtonClick(); });
    connect(clearButton, &QPushButton::clicked, this, [this] { ClearButtonClick(); });
    connect(addressFilterEdit, &QLineEdit::textChanged, this, [this] { AddressFilterEditChange(); });
    connect(saveButton, &QPushButton::clicked, this, [this] { SaveButtonClick(); });
    connect(diagnoseButton, &QPushButton::clicked, this, [this] { DiagnoseButtonClick(); });
}

void TBusMonitorForm::showEvent(QShowEvent *event)
{
    // Nothing is read while the window is hidden; what came meanwhile is
    // taken at once (as much of it as BusHealth still keeps).
    Refresh();
    refreshTimer_->start();
    QWidget::showEvent(event);
}

void TBusMonitorForm::hideEvent(QHideEvent *event)
{
    refreshTimer_->stop();
    QWidget::hideEvent(event);
}

void TBusMonitorForm::Refresh()
{
    if (!paused_) {
        bool restarted = false;
        std::vector<MonitorFrame> fresh = health_.SettledFrames(cursor_, &restarted);
        if (restarted) {
            // A new connection: its counters and times start from nothing.
            frames_.clear();
            framesView->clear();
            zeroMs_.reset();
        }
        QStringList lines;
        for (MonitorFrame &frame : fresh) {
            if (!zeroMs_)
                zeroMs_ = frame.ms;
            if (Passes(frame))
                lines << FrameLine(frame);
            frames_.push_back(std::move(frame));
            if (frames_.size() > static_cast<size_t>(KeptFrames))
                frames_.pop_front();
        }
        // One append for the lot: each is a layout of the document.
        if (!lines.isEmpty())
            framesView->appendPlainText(lines.join(QLatin1Char('\n')));
    }
    RefreshDevices();
}

void TBusMonitorForm::RefreshDevices()
{
    const std::vector<DeviceHealth> devices = health_.Devices();
    const bool newRows = devicesTable->rowCount() != static_cast<int>(devices.size());
    devicesTable->setRowCount(static_cast<int>(devices.size()));
    for (int row = 0; row < static_cast<int>(devices.size()); ++row) {
        const DeviceHealth &d = devices[static_cast<size_t>(row)];
        const QString cells[] = {QString::number(d.address),       QString::number(d.requests),
                                 QString::number(d.goodReplies),   QString::number(d.silent),
                                 QString::number(d.crcErrors),     QString::number(d.unreadable),
                                 QString::number(d.exceptions),    QString::number(d.echoes),
                                 QString::number(d.collisionsSuspected), Ms(d.latencyMinMs),
                                 Ms(d.latencyMedianMs),            Ms(d.latencyMaxMs)};
        for (int column = 0; column < static_cast<int>(std::size(cells)); ++column) {
            QTableWidgetItem *item = devicesTable->item(row, column);
            if (!item) {
                item = new QTableWidgetItem;
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
                devicesTable->setItem(row, column, item);
            }
            // Unchanged cells are left alone: no repaint at every refresh.
            if (item->text() != cells[column])
                item->setText(cells[column]);
        }
    }
    if (newRows)
        devicesTable->resizeColumnsToContents();
}

QString TBusMonitorForm::FrameLine(const MonitorFrame &frame) const
{
    const uint32_t since = frame.ms - zeroMs_.value_or(frame.ms);
    QString line = QString::asprintf("%10.3f  ", since / 1000.0) + QString::fromStdString(frame.text);
    if (frame.result != Result::NoError)
        line += QStringLiteral("  [%1]").arg(QString::fromLatin1(ResultText(frame.result)));
    return line;
}

bool TBusMonitorForm::Passes(const MonitorFrame &frame) const
{
    if (filterInvalid_)
        return false;
    return !filterAddress_ || frame.address == *filterAddress_;
}

void TBusMonitorForm::ShowKeptFrames()
{
    QStringList lines;
    for (const MonitorFrame &frame : frames_)
        if (Passes(frame))
            lines << FrameLine(frame);
    framesView->setPlainText(lines.join(QLatin1Char('\n')));
    framesView->moveCursor(QTextCursor::End);
}

void TBusMonitorForm::PauseButtonClick()
{
    paused_ = pauseButton->isChecked();
    if (!paused_)
        Refresh();
    RefreshControls();
}

void TBusMonitorForm::ClearButtonClick()
{
    frames_.clear();
    framesView->clear();
}

void TBusMonitorForm::AddressFilterEditChange()
{
    // Modbus gives slaves the addresses 1 to 247 and broadcasts 0; 248 to
    // 255 are reserved and nothing above fits a frame. Another number
    // matches no frame at all, and says so rather than showing every frame.
    const QString text = addressFilterEdit->text();
    bool ok = false;
    const uint32_t address = text.toUInt(&ok);
    filterAddress_.reset();
    filterInvalid_ = !text.isEmpty() && (!ok || address > MaxSlaveAddress);
    if (ok && !filterInvalid_)
        filterAddress_ = static_cast<uint8_t>(address);
    QPalette palette = addressFilterEdit->palette();
    palette.setColor(QPalette::Text, filterInvalid_ ? QColor(Qt::red) : this->palette().color(QPalette::Text));
    addressFilterEdit->setPalette(palette);
    filterProblemLabel->setVisible(filterInvalid_);
    ShowKeptFrames();
    RefreshControls();
}

void TBusMonitorForm::SaveButtonClick()
{
    QString initialName = QStringLiteral("bus-monitor.txt");
    for (;;) {
        const std::optional<QString> chosen =
            dialogs_.SaveFileName(QStringLiteral("Save the bus monitor's frames"),
                                  QStringLiteral("Text (*.txt);;CSV table (*.csv)"), initialName, QStringLiteral("txt"));
        if (!chosen || chosen->isEmpty())
            return;
        if (QFileInfo::exists(*chosen) && !dialogs_.ConfirmOverwrite(*chosen)) {
            initialName = *chosen;
            continue;
        }
        QString error;
        const bool csv = QFileInfo(*chosen).suffix().compare(QStringLiteral("csv"), Qt::CaseInsensitive) == 0;
        if (!WriteFrames(*chosen, csv, error))
            dialogs_.Error(QStringLiteral("Cannot create file \"%1\". %2").arg(*chosen, error));
        return;
    }
}

bool TBusMonitorForm::WriteFrames(const QString &path, bool csv, QString &error) const
{
    // What is listed is what is saved: the filter applies.
    QString text;
    if (csv)
        text += QStringLiteral("time,direction,address,bytes,decoded,result\n");
    for (const MonitorFrame &frame : frames_) {
        if (!Passes(frame))
            continue;
        if (csv) {
            const double seconds = (frame.ms - zeroMs_.value_or(frame.ms)) / 1000.0;
            text += QString::asprintf("%.3f,%s,%u,", seconds, Direction(frame.kind), unsigned{frame.address}) +
                    Hex(frame.bytes) + QLatin1Char(',') + Quoted(QString::fromStdString(frame.text)) +
                    QLatin1Char(',') + Quoted(QString::fromLatin1(ResultText(frame.result))) + QLatin1Char('\n');
        } else {
            text += FrameLine(frame) + QLatin1Char('\n');
        }
    }
#ifdef _WIN32
    // A text file as Notepad reads it.
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
#endif
    const QByteArray bytes = text.toUtf8();
    std::string reason;
    if (!WriteWholeFile(NativePath(path), std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())),
                        reason)) {
        error = SystemText(reason);
        return false;
    }
    return true;
}

void TBusMonitorForm::DiagnoseButtonClick()
{
    if (doctorRunning_) {
        doctorStopRequested_ = true;
        doctorStepLabel->setText(QStringLiteral("Stopping..."));
        return;
    }
    emit DiagnoseRequested();
}

void TBusMonitorForm::DoctorStarted()
{
    doctorRunning_ = true;
    doctorStopRequested_ = false;
    findingsView->clear();
    doctorStepLabel->setText(QStringLiteral("Diagnose is starting"));
    RefreshControls();
}

void TBusMonitorForm::DoctorStep(const QString &step)
{
    if (!doctorStopRequested_)
        doctorStepLabel->setText(QStringLiteral("Diagnose: %1").arg(step));
}

void TBusMonitorForm::DoctorFinished(const DoctorReport &report)
{
    doctorRunning_ = false;
    QStringList lines;
    if (report.cancelled)
        lines << QStringLiteral("Diagnose was stopped before it ended; what it found so far:");
    for (const Finding &finding : report.findings)
        lines << QString::fromStdString(finding.Line());
    if (!report.devices.empty()) {
        lines << QString() << QStringLiteral("Devices that answered:");
        for (const DoctorDevice &d : report.devices) {
            QString line = QStringLiteral("  address %1 at %2 baud: %3 of %4 probes good, %5 garbled, %6 silent")
                               .arg(d.address)
                               .arg(d.baud)
                               .arg(d.good)
                               .arg(d.probes)
                               .arg(d.garbled)
                               .arg(d.silent);
            if (d.late > 0)
                line += QStringLiteral(", %1 late").arg(d.late);
            if (d.turnaroundMs)
                line += QStringLiteral(", turnaround %1 ms").arg(*d.turnaroundMs);
            if (d.Slow())
                line += QStringLiteral(" (slow: answers after the %1 ms the tool waits)").arg(d.windowMs);
            lines << line;
        }
    }
    findingsView->setPlainText(lines.join(QLatin1Char('\n')));
    doctorStepLabel->setText(report.cancelled ? QStringLiteral("Diagnose stopped") : QStringLiteral("Diagnose ended"));
    RefreshControls();
}

void TBusMonitorForm::DoctorRefused(const QString &why)
{
    doctorStepLabel->setText(QStringLiteral("Diagnose cannot run now: %1").arg(why));
}

void TBusMonitorForm::RefreshControls()
{
    pauseButton->setText(paused_ ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    diagnoseButton->setText(doctorRunning_ ? QStringLiteral("Stop") : QStringLiteral("Diagnose"));
    // A filter that matches nothing lists nothing to save.
    saveButton->setEnabled(!filterInvalid_);
    framesView->setPlaceholderText(filterInvalid_ ? QStringLiteral("No such address: Modbus slaves are 1 to 247, "
                                                                   "broadcasts 0.")
                                                  : QString());
}
