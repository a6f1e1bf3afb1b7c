#include "sidewindows/BusBackup.h"

#include <QBrush>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "modbus/Registers.h"
#include "records/RecordStore.h"
#include "ui/UserDialogs.h"

namespace {

using busfile::Comparison;
using busfile::Device;
using busfile::State;

constexpr const char *kColumns[] = {"Address", "Model", "Motor ID", "State", "In the file", "On the bus"};
const QString kFilter = QStringLiteral("Bus files (*.lumobus *.json)");

QString Id(uint16_t motorId)
{
    return QString::fromStdString(records::MotorIdText(motorId));
}

QString ModelName(uint16_t model)
{
    return QString::fromUtf8(Model::NameOf(static_cast<uint32_t>(model)).data());
}

// What differs is marked so that it is seen from across the room: the two
// values on amber, in bold.
void Mark(QTreeWidgetItem *item, int column)
{
    item->setBackground(column, QBrush(QColor(255, 214, 102)));
    QFont font = item->font(column);
    font.setBold(true);
    item->setFont(column, font);
}

QColor StateColour(State state)
{
    switch (state) {
    case State::Same: return QColor(0, 110, 0);
    case State::Differs:
    case State::Replaced: return QColor(170, 90, 0);
    case State::Missing: return QColor(180, 0, 0);
    case State::New:
    case State::Moved: return QColor(0, 70, 170);
    }
    return QColor(Qt::black);
}

QPushButton *MakeButton(QWidget *parent, const char *name, const QString &text, const QString &tip)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setToolTip(tip);
    return button;
}

bool Restorable(const Comparison &c)
{
    return c.saved && c.now && c.now->model == c.saved->model &&
           (c.state == State::Differs || c.state == State::Replaced);
}

} // namespace

TBusBackupForm::TBusBackupForm(UserDialogs &dialogs, QWidget *parent)
    : QWidget(parent, Qt::Window), dialogs_(dialogs)
{
    setObjectName(QStringLiteral("BusBackupForm"));
    setWindowTitle(QStringLiteral("Bus backup"));
    BuildControls();
    RefreshControls();
}

void TBusBackupForm::BuildControls()
{
    resize(760, 480);
    auto *top = new QHBoxLayout;
    backUpButton = MakeButton(this, "backUpButton", QStringLiteral("Back up..."),
                              QStringLiteral("Read every actuator on the bus and save them all in one bus file"));
    compareButton = MakeButton(this, "compareButton", QStringLiteral("Compare with..."),
                               QStringLiteral("Read the bus and show it against a bus file, register by register"));
    restoreButton = MakeButton(this, "restoreButton", QStringLiteral("Restore selected"),
                               QStringLiteral("Write the file's configuration to the selected devices and read it "
                                              "back; asks first"));
    stopButton = MakeButton(this, "stopButton", QStringLiteral("Stop"),
                            QStringLiteral("End the bus work after the device it is at"));
    connect(backUpButton, &QPushButton::clicked, this, [this] { BackupButtonClick(); });
    connect(compareButton, &QPushButton::clicked, this, [this] { CompareButtonClick(); });
    connect(restoreButton, &QPushButton::clicked, this, [this] { RestoreButtonClick(); });
    connect(stopButton, &QPushButton::clicked, this, [this] { StopButtonClick(); });
    top->addWidget(backUpButton);
    top->addWidget(compareButton);
    top->addWidget(restoreButton);
    top->addStretch(1);
    top->addWidget(stopButton);

    busBackupFileLabel = new QLabel(QStringLiteral("No bus file compared yet."), this);
    busBackupFileLabel->setObjectName(QStringLiteral("busBackupFileLabel"));
    busBackupFileLabel->setWordWrap(true);

    busBackupTable = new QTreeWidget(this);
    busBackupTable->setObjectName(QStringLiteral("busBackupTable"));
    busBackupTable->setColumnCount(ColumnCount);
    QStringList headers;
    for (const char *column : kColumns)
        headers << QString::fromLatin1(column);
    busBackupTable->setHeaderLabels(headers);
    busBackupTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
    busBackupTable->setRootIsDecorated(true);
    busBackupTable->setUniformRowHeights(true);
    busBackupTable->header()->setStretchLastSection(false);
    busBackupTable->header()->setSectionResizeMode(StateColumn, QHeaderView::Stretch);
    connect(busBackupTable, &QTreeWidget::itemSelectionChanged, this, [this] { RefreshControls(); });

    busBackupProgress = new QProgressBar(this);
    busBackupProgress->setObjectName(QStringLiteral("busBackupProgress"));
    busBackupProgress->setTextVisible(true);
    busBackupStatus = new QLabel(this);
    busBackupStatus->setObjectName(QStringLiteral("busBackupStatus"));
    busBackupStatus->setWordWrap(true);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(busBackupFileLabel);
    layout->addWidget(busBackupTable, 1);
    layout->addWidget(busBackupProgress);
    layout->addWidget(busBackupStatus);
}

void TBusBackupForm::RefreshControls()
{
    backUpButton->setEnabled(!working_);
    compareButton->setEnabled(!working_);
    restoreButton->setEnabled(!working_ && !SelectedForRestore().empty());
    stopButton->setEnabled(working_ && !stopRequested_);
    busBackupProgress->setVisible(working_);
}

void TBusBackupForm::BackupButtonClick()
{
    const std::optional<QString> path = dialogs_.SaveFileName(QStringLiteral("Back up the bus"), kFilter,
                                                              QStringLiteral("bus.lumobus"), QStringLiteral("lumobus"));
    if (path)
        emit BackupRequested(*path);
}

void TBusBackupForm::CompareButtonClick()
{
    const std::optional<QString> path = dialogs_.OpenFileName(QStringLiteral("Compare the bus with"), kFilter);
    if (path)
        emit CompareRequested(*path);
}

void TBusBackupForm::RestoreButtonClick()
{
    if (!SelectedForRestore().empty())
        emit RestoreRequested();
}

void TBusBackupForm::StopButtonClick()
{
    stopRequested_ = true;
    busBackupStatus->setText(QStringLiteral("Stopping after this device..."));
    RefreshControls();
}

void TBusBackupForm::WorkStarted(const QString &what, int steps)
{
    working_ = true;
    stopRequested_ = false;
    busBackupProgress->setRange(0, steps);
    busBackupProgress->setValue(0);
    busBackupStatus->setText(what);
    RefreshControls();
}

void TBusBackupForm::WorkStep(int done, const QString &step)
{
    busBackupProgress->setValue(done);
    if (!stopRequested_)
        busBackupStatus->setText(step);
}

void TBusBackupForm::WorkFinished(const QString &outcome)
{
    working_ = false;
    stopRequested_ = false;
    busBackupStatus->setText(outcome);
    RefreshControls();
}

void TBusBackupForm::Refused(const QString &why)
{
    busBackupStatus->setText(QStringLiteral("The bus is not free: %1.").arg(why));
}

QString TBusBackupForm::StateText(const Comparison &c)
{
    const auto registers = [&] {
        return QStringLiteral("%1 register%2").arg(c.registers.size()).arg(c.registers.size() == 1 ? "" : "s");
    };
    switch (c.state) {
    case State::Same: return QStringLiteral("same");
    case State::Differs: return QStringLiteral("differs (%1)").arg(registers());
    case State::Missing:
        if (c.otherModelThere)
            return QStringLiteral("missing: a %1 (%2) is there now")
                .arg(ModelName(c.otherModelThere->model), Id(c.otherModelThere->motorId));
        return QStringLiteral("missing");
    case State::New: return QStringLiteral("new");
    case State::Moved: return QStringLiteral("moved: answers at %1 now").arg(c.now->address);
    case State::Replaced:
        return QString::fromStdString(busfile::ReplacedText(c.saved->address, c.saved->motorId, c.now->motorId));
    }
    return {};
}

void TBusBackupForm::ShowComparison(const QString &path, const busfile::BusFile &file,
                                    const std::vector<Comparison> &result)
{
    path_ = path;
    comparisons_ = result;
    const busfile::Taken &taken = file.taken;
    busBackupFileLabel->setText(QStringLiteral("%1: taken %2 on %3, %4 at %5 baud, addresses %6 to %7.")
                                    .arg(QFileInfo(path).fileName(), QString::fromStdString(taken.time),
                                         QString::fromStdString(taken.station), QString::fromStdString(taken.port))
                                    .arg(taken.baud)
                                    .arg(taken.from)
                                    .arg(taken.to));
    busBackupFileLabel->setToolTip(path);

    busBackupTable->clear();
    for (const Comparison &c : result) {
        const Device &shown = c.saved ? *c.saved : *c.now;
        auto *row = new QTreeWidgetItem(busBackupTable);
        row->setData(AddressColumn, Qt::UserRole, shown.address);
        row->setText(AddressColumn, QString::number(shown.address));
        row->setText(ModelColumn, ModelName(shown.model));
        row->setText(MotorIdColumn, Id(shown.motorId));
        row->setText(StateColumn, StateText(c));
        row->setForeground(StateColumn, QBrush(StateColour(c.state)));
        if (c.state == State::Replaced) {
            row->setText(FileColumn, Id(c.saved->motorId));
            row->setText(BusColumn, Id(c.now->motorId));
            Mark(row, FileColumn);
            Mark(row, BusColumn);
        }
        if (!Restorable(c))
            row->setFlags(row->flags() & ~Qt::ItemIsSelectable);
        for (const busfile::RegisterDiff &d : c.registers) {
            auto *reg = new QTreeWidgetItem(row);
            reg->setFlags(reg->flags() & ~Qt::ItemIsSelectable);
            reg->setText(StateColumn, QString::fromLatin1(d.name));
            reg->setText(FileColumn, QString::number(d.saved));
            reg->setText(BusColumn, QString::number(d.now));
            Mark(reg, FileColumn);
            Mark(reg, BusColumn);
        }
        row->setExpanded(true);
    }
    for (int column = 0; column < ColumnCount; ++column)
        if (column != StateColumn)
            busBackupTable->resizeColumnToContents(column);
    RefreshControls();
}

QTreeWidgetItem *TBusBackupForm::RowOf(uint8_t address) const
{
    for (int i = 0; i < busBackupTable->topLevelItemCount(); ++i) {
        QTreeWidgetItem *row = busBackupTable->topLevelItem(i);
        if (row->data(AddressColumn, Qt::UserRole).toInt() == address)
            return row;
    }
    return nullptr;
}

void TBusBackupForm::ShowRestoreResult(uint8_t address, const QString &result, bool restored)
{
    QTreeWidgetItem *row = RowOf(address);
    if (!row)
        return;
    row->setText(StateColumn, result);
    row->setForeground(StateColumn, QBrush(restored ? QColor(0, 110, 0) : QColor(180, 0, 0)));
}

std::vector<uint8_t> TBusBackupForm::SelectedForRestore() const
{
    std::vector<uint8_t> chosen;
    for (const QTreeWidgetItem *row : busBackupTable->selectedItems()) {
        const int address = row->data(AddressColumn, Qt::UserRole).toInt();
        for (const Comparison &c : comparisons_)
            if (Restorable(c) && c.saved->address == address)
                chosen.push_back(static_cast<uint8_t>(address));
    }
    std::sort(chosen.begin(), chosen.end());
    return chosen;
}
