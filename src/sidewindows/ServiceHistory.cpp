#include "sidewindows/ServiceHistory.h"

#include <QAbstractTableModel>
#include <QComboBox>
#include <QDateTime>
#include <QFileInfo>
#include <QFont>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <set>

#include "sidewindows/ServiceReport.h"
#include "ui/UserDialogs.h"
#include "modbus/ResultCode.h"

// The listed events: a window onto the form's events_ (the chosen day's
// part of them). Texts are made when a row is painted.
class ServiceEventsModel : public QAbstractTableModel {
public:
    enum Column { Time, Station, User, Port, Address, Kind, Summary, ColumnCount };

    explicit ServiceEventsModel(const std::vector<records::Event> &events, QObject *parent)
        : QAbstractTableModel(parent), events_(events)
    {
    }

    // Shows events_[first, last) from now on. Older events loaded behind
    // the listed ones are added as rows, so the selection and the scroll
    // position stay; anything else lists afresh.
    void SetRange(size_t first, size_t last)
    {
        if (first == first_ && last > last_ && last_ > first_) {
            beginInsertRows({}, static_cast<int>(last_ - first_), static_cast<int>(last - first - 1));
            last_ = last;
            endInsertRows();
            return;
        }
        if (first == first_ && last == last_)
            return;
        beginResetModel();
        first_ = first;
        last_ = last;
        endResetModel();
    }
    // One event was put at the front of events_, and [first, last) is now
    // listed: a new first row when it is listed, else the same rows at
    // indices one further on. The selection and the scroll position stay.
    void InsertedAtFront(size_t first, size_t last)
    {
        if (first == 0 && first_ == 0 && last == last_ + 1) {
            beginInsertRows({}, 0, 0);
            last_ = last;
            endInsertRows();
        } else if (first == first_ + 1 && last == last_ + 1) {
            first_ = first;
            last_ = last;
        } else {
            Reset(first, last);
        }
    }
    // Lists [first, last) afresh.
    void Reset(size_t first, size_t last)
    {
        beginResetModel();
        first_ = first;
        last_ = last;
        endResetModel();
    }

    const records::Event *EventAt(int row) const
    {
        if (row < 0 || static_cast<size_t>(row) >= last_ - first_)
            return nullptr;
        return &events_[first_ + static_cast<size_t>(row)];
    }

    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(last_ - first_);
    }
    int columnCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : ColumnCount; }

    QVariant data(const QModelIndex &index, int role) const override
    {
        const records::Event *e = EventAt(index.row());
        if (!e)
            return {};
        if (role == Qt::ToolTipRole && index.column() == Summary)
            return servicereport::EventSummary(*e);
        if (role == Qt::ForegroundRole && e->result != Result::NoError)
            return QColor(Qt::red);
        if (role != Qt::DisplayRole)
            return {};
        switch (index.column()) {
        case Time: return servicereport::LocalTimeText(e->timeMs);
        case Station: return QString::fromStdString(e->origin.station);
        case User: return QString::fromStdString(e->origin.user);
        case Port: return QString::fromStdString(e->origin.port);
        case Address: return static_cast<int>(e->address);
        case Kind: return servicereport::KindCaption(e->kind);
        case Summary: return servicereport::EventSummary(*e);
        default: return {};
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return {};
        static const char *const names[] = {"Time", "Station", "User", "Port", "Address", "Event", "What happened"};
        return section >= 0 && section < ColumnCount ? QString::fromLatin1(names[section]) : QVariant();
    }

private:
    const std::vector<records::Event> &events_;
    size_t first_ = 0;
    size_t last_ = 0;
};

namespace {

enum ValueColumn { SettingColumn, BeforeColumn, AfterColumn, ResultColumn, ValueColumns };

const QColor kChanged(255, 226, 130);

bool HasConfig(const records::Event &e)
{
    return e.config.has_value() &&
           (e.kind == records::EventKind::ConfigRead || e.kind == records::EventKind::ConfigWrite ||
            e.kind == records::EventKind::ConfigImport || e.kind == records::EventKind::ConfigExport);
}

} // namespace

TServiceHistoryForm::TServiceHistoryForm(records::RecordStore *store, UserDialogs &dialogs, QWidget *parent)
    : QWidget(parent, Qt::Window), store_(store), dialogs_(dialogs)
{
    setObjectName(QStringLiteral("ServiceHistoryForm"));
    setWindowTitle(QStringLiteral("Service history"));
    BuildControls();
}

TServiceHistoryForm::~TServiceHistoryForm()
{
    // A report still being written is finished, not cut off: its file is
    // written whole or not at all either way, and a thread must not outlive
    // the application. Its message has no window left to go to.
    if (reportThread_) {
        disconnect(reportThread_, nullptr, this, nullptr);
        reportThread_->wait();
        delete reportThread_;
    }
}

void TServiceHistoryForm::BuildControls()
{
    resize(900, 600);
    auto *top = new QHBoxLayout;
    auto *motorLabel = new QLabel(QStringLiteral("Motor ID"), this);
    motorComboBox = new QComboBox(this);
    motorComboBox->setObjectName(QStringLiteral("motorComboBox"));
    motorComboBox->setMinimumContentsLength(6);
    motorComboBox->setToolTip(QStringLiteral("The actuators on record, the one last worked on first"));
    auto *dayLabel = new QLabel(QStringLiteral("Day"), this);
    dayComboBox = new QComboBox(this);
    dayComboBox->setObjectName(QStringLiteral("dayComboBox"));
    dayComboBox->setMinimumContentsLength(12);
    dayComboBox->setToolTip(QStringLiteral("The events of one day, or the whole history"));
    reportButton = new QPushButton(QStringLiteral("Report"), this);
    reportButton->setObjectName(QStringLiteral("reportButton"));
    reportButton->setAutoDefault(false);
    reportButton->setToolTip(QStringLiteral("Save this actuator's service report (PDF) for the chosen day"));
    top->addWidget(motorLabel);
    top->addWidget(motorComboBox);
    top->addSpacing(16);
    top->addWidget(dayLabel);
    top->addWidget(dayComboBox);
    top->addStretch(1);
    top->addWidget(reportButton);

    problemLabel = new QLabel(this);
    problemLabel->setObjectName(QStringLiteral("problemLabel"));
    problemLabel->setWordWrap(true);
    problemLabel->hide();
    recordingLabel = new QLabel(this);
    recordingLabel->setObjectName(QStringLiteral("recordingLabel"));
    recordingLabel->setWordWrap(true);
    recordingLabel->hide();

    model_ = new ServiceEventsModel(events_, this);
    eventsView = new QTableView(this);
    eventsView->setObjectName(QStringLiteral("eventsView"));
    eventsView->setModel(model_);
    eventsView->setSelectionBehavior(QAbstractItemView::SelectRows);
    eventsView->setSelectionMode(QAbstractItemView::SingleSelection);
    eventsView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    eventsView->setWordWrap(false);
    eventsView->setAlternatingRowColors(true);
    // Fixed rows and columns: nothing is measured over the whole history.
    eventsView->verticalHeader()->hide();
    eventsView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    eventsView->verticalHeader()->setDefaultSectionSize(eventsView->fontMetrics().height() + 6);
    QHeaderView *header = eventsView->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setStretchLastSection(true);
    const int widths[] = {140, 90, 70, 110, 60, 120};
    for (int c = 0; c < 6; ++c)
        header->resizeSection(c, widths[c]);

    valuesLabel = new QLabel(this);
    valuesLabel->setObjectName(QStringLiteral("valuesLabel"));
    valuesTable = new QTableWidget(static_cast<int>(servicereport::ConfigWords().size()), ValueColumns, this);
    valuesTable->setObjectName(QStringLiteral("valuesTable"));
    valuesTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    valuesTable->setSelectionMode(QAbstractItemView::NoSelection);
    valuesTable->verticalHeader()->hide();
    valuesTable->setHorizontalHeaderLabels(
        {QStringLiteral("Setting"), QStringLiteral("Before"), QStringLiteral("After"), QStringLiteral("Result")});
    valuesTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    valuesTable->horizontalHeader()->setSectionResizeMode(SettingColumn, QHeaderView::ResizeToContents);

    auto *valuesBox = new QWidget(this);
    auto *valuesLayout = new QVBoxLayout(valuesBox);
    valuesLayout->setContentsMargins(0, 0, 0, 0);
    valuesLayout->addWidget(valuesLabel);
    valuesLayout->addWidget(valuesTable);

    auto *splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(eventsView);
    splitter->addWidget(valuesBox);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(problemLabel);
    layout->addWidget(recordingLabel);
    layout->addWidget(splitter, 1);

    connect(motorComboBox, &QComboBox::activated, this, [this] { MotorComboBoxSelect(); });
    connect(dayComboBox, &QComboBox::activated, this, [this] { DayComboBoxSelect(); });
    connect(eventsView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { EventSelected(); });
    connect(reportButton, &QPushButton::clicked, this, [this] { ReportButtonClick(); });
    loadTimer_ = new QTimer(this);
    loadTimer_->setObjectName(QStringLiteral("historyLoadTimer"));
    loadTimer_->setInterval(0);
    connect(loadTimer_, &QTimer::timeout, this, [this] { LoadTimerTimer(); });
    ShowEventValues(nullptr);
}

void TServiceHistoryForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    Reload();
}

void TServiceHistoryForm::Open(std::optional<uint16_t> motorId)
{
    if (motorId)
        motor_ = motorId;
    if (isVisible())
        Reload();
    else
        show(); // showEvent reads the records
    raise();
    activateWindow();
}

void TServiceHistoryForm::SetStore(records::RecordStore *store)
{
    if (store == store_)
        return;
    store_ = store;
    if (isVisible())
        Reload();
}

void TServiceHistoryForm::SetRecordingNotice(const QString &notice)
{
    recordingLabel->setText(notice);
    recordingLabel->setVisible(!notice.isEmpty());
}

void TServiceHistoryForm::ShowDamage()
{
    if (!store_ || !store_->Damaged())
        return;
    problemLabel->setText(QStringLiteral("%1. %2 events are shown; those on the damaged part are missing.")
                              .arg(QString::fromStdString(store_->Damage()))
                              .arg(events_.size()));
    problemLabel->show();
}

void TServiceHistoryForm::ShowMotor(uint16_t motorId)
{
    if (motor_ == motorId)
        return;
    motor_ = motorId;
    if (isVisible())
        Reload();
}

size_t TServiceHistoryForm::ListedCount() const
{
    return static_cast<size_t>(model_->rowCount());
}

void TServiceHistoryForm::Reload()
{
    loadTimer_->stop();
    const bool usable = store_ && store_->IsOpen();
    problemLabel->setVisible(!usable);
    if (!usable) {
        const QString why = store_ ? QString::fromStdString(store_->Problem()) : QStringLiteral("recording is off");
        problemLabel->setText(QStringLiteral("There are no service records: %1").arg(why));
    }
    motorComboBox->setEnabled(usable);
    dayComboBox->setEnabled(usable);

    events_.clear();
    loadedMaxId_ = 0;
    complete_ = !usable || !motor_;
    FillMotorList();
    ClearDays();
    // The newest events at once, the rest in the background.
    if (!complete_)
        LoadOlder(FirstPage);
    ApplyDay(true);
    ShowDamage();
    if (!complete_)
        loadTimer_->start();
}

bool TServiceHistoryForm::LoadOlder(size_t count)
{
    const size_t before = events_.size();
    records::HistoryQuery query;
    query.motorId = motor_;
    query.limit = count;
    // Older than the oldest loaded, and the rest of its millisecond: events
    // of one millisecond may lie on both sides of a page's end.
    std::set<int64_t> loadedOfThatMs;
    if (!events_.empty()) {
        const int64_t oldestMs = events_.back().timeMs;
        for (auto e = events_.rbegin(); e != events_.rend() && e->timeMs == oldestMs; ++e)
            loadedOfThatMs.insert(e->id);
        query.toMs = oldestMs + 1;
        query.limit = count + loadedOfThatMs.size();
    }
    std::vector<records::Event> page = store_->History(query);
    const bool last = page.size() < query.limit;
    for (records::Event &e : page) {
        loadedMaxId_ = std::max(loadedMaxId_, e.id);
        if (!loadedOfThatMs.count(e.id))
            events_.push_back(std::move(e));
    }
    complete_ = last || events_.size() == before;
    AddDays(before);
    return events_.size() > before;
}

void TServiceHistoryForm::LoadTimerTimer()
{
    if (complete_ || !store_ || !store_->IsOpen() || !motor_) {
        loadTimer_->stop();
        return;
    }
    LoadOlder(Chunk);
    ApplyDay(false);
    ShowDamage();
    if (complete_)
        loadTimer_->stop();
}

void TServiceHistoryForm::FillMotorList()
{
    filling_ = true;
    motorComboBox->clear();
    std::vector<uint16_t> motors = store_ && store_->IsOpen() ? store_->Motors() : std::vector<uint16_t>{};
    if (motor_ && std::find(motors.begin(), motors.end(), *motor_) == motors.end())
        motors.insert(motors.begin(), *motor_);
    for (const uint16_t id : motors)
        motorComboBox->addItem(QString::fromStdString(records::MotorIdText(id)), id);
    motorComboBox->setCurrentIndex(motor_ ? motorComboBox->findData(*motor_) : -1);
    filling_ = false;
}

void TServiceHistoryForm::ClearDays()
{
    const std::optional<QDate> chosen = ChosenDay();
    filling_ = true;
    dayComboBox->clear();
    dayComboBox->addItem(QStringLiteral("Whole history"));
    days_.clear();
    dayFromMs_ = dayToMs_ = 0;
    // The day chosen before stays chosen if the new history has it.
    keptDay_ = chosen;
    filling_ = false;
}

void TServiceHistoryForm::AddDays(size_t from)
{
    // Events come newest first, so a day is worked out once per run of its
    // events, not once per event.
    filling_ = true;
    for (size_t i = from; i < events_.size(); ++i) {
        const int64_t t = events_[i].timeMs;
        if (t >= dayFromMs_ && t < dayToMs_)
            continue;
        const QDate day = servicereport::LocalDay(t);
        dayFromMs_ = day.startOfDay().toMSecsSinceEpoch();
        dayToMs_ = day.addDays(1).startOfDay().toMSecsSinceEpoch();
        if (!days_.insert(day).second)
            continue;
        // Newest first, after "Whole history".
        const int index = 1 + static_cast<int>(std::distance(days_.begin(), days_.find(day)));
        dayComboBox->insertItem(index, day.toString(Qt::ISODate), day);
        if (keptDay_ && *keptDay_ == day)
            dayComboBox->setCurrentIndex(index);
    }
    filling_ = false;
}

std::optional<QDate> TServiceHistoryForm::ChosenDay() const
{
    const QVariant day = dayComboBox->currentData();
    if (!day.isValid())
        return std::nullopt;
    return day.toDate();
}

void TServiceHistoryForm::DayRange(size_t &first, size_t &last) const
{
    first = 0;
    last = events_.size();
    if (const std::optional<QDate> day = ChosenDay()) {
        // Newest first: the day is one run of the list.
        const records::HistoryQuery range = servicereport::DayQuery(0, *day);
        const auto begin = std::partition_point(events_.begin(), events_.end(),
                                                [&](const records::Event &e) { return e.timeMs >= *range.toMs; });
        const auto end = std::partition_point(begin, events_.end(),
                                              [&](const records::Event &e) { return e.timeMs >= *range.fromMs; });
        first = static_cast<size_t>(begin - events_.begin());
        last = static_cast<size_t>(end - events_.begin());
    }
}

void TServiceHistoryForm::ApplyDay(bool afresh)
{
    size_t first = 0;
    size_t last = 0;
    DayRange(first, last);
    if (afresh) {
        model_->Reset(first, last);
        ShowEventValues(nullptr);
    } else {
        model_->SetRange(first, last);
    }
    RefreshReportButton();
}

void TServiceHistoryForm::RefreshReportButton()
{
    reportButton->setEnabled(store_ && store_->IsOpen() && motor_.has_value() && !reportThread_);
}

void TServiceHistoryForm::EventRecorded(const records::Event &event)
{
    if (!isVisible() || !motor_ || event.motorId != *motor_)
        return;
    // Written before the history was read, and so read with it: the
    // notice of a write comes a moment after the write.
    if (event.id <= loadedMaxId_)
        return;
    loadedMaxId_ = event.id;
    // Newest of all: it goes first, and its day may be new. What the
    // operator has selected, and the values shown for it, stay.
    events_.insert(events_.begin(), event);
    keptDay_ = ChosenDay();
    AddDays(0);
    size_t first = 0;
    size_t last = 0;
    DayRange(first, last);
    model_->InsertedAtFront(first, last);
    RefreshReportButton();
    ShowDamage();
}

void TServiceHistoryForm::MotorComboBoxSelect()
{
    if (filling_)
        return;
    const QVariant id = motorComboBox->currentData();
    if (!id.isValid())
        return;
    motor_ = static_cast<uint16_t>(id.toUInt());
    Reload();
}

void TServiceHistoryForm::DayComboBoxSelect()
{
    if (!filling_) {
        keptDay_ = ChosenDay();
        ApplyDay(true);
    }
}

void TServiceHistoryForm::EventSelected()
{
    ShowEventValues(model_->EventAt(eventsView->currentIndex().row()));
}

void TServiceHistoryForm::ShowEventValues(const records::Event *event)
{
    const auto &words = servicereport::ConfigWords();
    valuesTable->clearContents();
    if (!event || !HasConfig(*event)) {
        valuesLabel->setText(event ? QStringLiteral("This event carries no configuration.")
                                   : QStringLiteral("Select a configuration event to see its values."));
        valuesTable->setEnabled(false);
        return;
    }
    valuesTable->setEnabled(true);
    const bool write = event->kind == records::EventKind::ConfigWrite;
    const bool compare = write && event->before.has_value();
    valuesTable->setColumnHidden(BeforeColumn, !compare);
    valuesTable->setColumnHidden(ResultColumn, !write);
    valuesTable->horizontalHeaderItem(AfterColumn)->setText(write ? QStringLiteral("After") : QStringLiteral("Values"));
    if (write)
        valuesLabel->setText(compare ? QStringLiteral("%1: before and after, changed values marked")
                                           .arg(servicereport::LocalTimeText(event->timeMs))
                                     : QStringLiteral("%1: the values written (no earlier reading to compare)")
                                           .arg(servicereport::LocalTimeText(event->timeMs)));
    else
        valuesLabel->setText(QStringLiteral("%1: %2").arg(servicereport::LocalTimeText(event->timeMs),
                                                          servicereport::KindCaption(event->kind)));

    for (int row = 0; row < static_cast<int>(words.size()); ++row) {
        const servicereport::ConfigWord &w = words[static_cast<size_t>(row)];
        const uint16_t after = event->config.value().*w.word;
        // A write never sends PosOffset.
        const bool sent = !write || w.word != &ActuatorConfig::PosOffset;
        auto *setting = new QTableWidgetItem(QString::fromLatin1(w.caption));
        setting->setToolTip(QString::fromLatin1(w.name));
        auto *afterItem =
            new QTableWidgetItem(sent ? servicereport::ValueText(w, after) : QStringLiteral("not written"));
        valuesTable->setItem(row, SettingColumn, setting);
        valuesTable->setItem(row, AfterColumn, afterItem);
        if (compare) {
            const uint16_t before = event->before.value().*w.word;
            auto *beforeItem = new QTableWidgetItem(servicereport::ValueText(w, before));
            valuesTable->setItem(row, BeforeColumn, beforeItem);
            const bool changed = sent && before != after;
            // Marked in colour and in bold, and said in words for a
            // screen reader and for a printout in black and white.
            if (changed) {
                for (QTableWidgetItem *item : {setting, beforeItem, afterItem}) {
                    item->setBackground(kChanged);
                    QFont bold = item->font();
                    bold.setBold(true);
                    item->setFont(bold);
                }
                afterItem->setToolTip(QStringLiteral("changed"));
                setting->setData(Qt::UserRole, true);
            }
        }
        if (write) {
            QString result;
            if (!sent) {
                result = QStringLiteral("not written");
            } else {
                const auto r = std::find_if(event->registers.begin(), event->registers.end(),
                                            [&](const records::RegisterResult &x) { return x.name == w.name; });
                if (r != event->registers.end())
                    result = QString::fromLatin1(ResultText(r->code));
                else if (!event->registers.empty())
                    result = QStringLiteral("not sent");
            }
            valuesTable->setItem(row, ResultColumn, new QTableWidgetItem(result));
        }
    }
}

// What the report's thread hands back. Shared, so that it outlives a
// window closed meanwhile.
struct TServiceHistoryForm::ReportJob {
    QString path;
    bool ok = false;
    QString error;
};

void TServiceHistoryForm::ReportButtonClick()
{
    if (!store_ || !store_->IsOpen() || !motor_ || reportThread_)
        return;
    // The name needs only the motor and the day; the events are read on
    // the report's thread.
    servicereport::ReportData naming;
    naming.identity.motorId = *motor_;
    naming.day = ChosenDay();
    naming.generatedMs = QDateTime::currentMSecsSinceEpoch();
    QString initialName = servicereport::ProposedReportName(naming);
    std::optional<QString> chosen;
    for (;;) {
        chosen = dialogs_.SaveFileName(QStringLiteral("Service report"), QStringLiteral("PDF files (*.pdf)"),
                                       initialName, QStringLiteral("pdf"));
        if (!chosen || chosen->isEmpty())
            return;
        if (QFileInfo::exists(*chosen) && !dialogs_.ConfirmOverwrite(*chosen)) {
            initialName = *chosen;
            continue;
        }
        break;
    }

    // A long history takes a while to read and lay out: the window's thread
    // is not the place. The thread reads the records through a connection
    // of its own (the window's may be writing an event meanwhile) and draws
    // with its own document; fonts are shared safely in Qt 6.
    auto job = std::make_shared<ReportJob>();
    job->path = *chosen;
    const std::string recordsPath = store_->Path();
    const uint16_t motor = *motor_;
    const std::optional<QDate> day = naming.day;
    reportJob_ = job;
    reportThread_ = QThread::create([job, recordsPath, motor, day] {
        // Only reads: nothing in the file is created, migrated or renamed.
        records::RecordStore store(recordsPath, records::Access::Read);
        if (!store.IsOpen()) {
            job->error = QStringLiteral("Cannot read the service records: %1")
                             .arg(QString::fromStdString(store.Problem()));
            return;
        }
        const servicereport::ReportData data = servicereport::CollectReport(store, motor, day);
        job->ok = servicereport::WriteReportPdf(data, job->path, &job->error);
    });
    reportThread_->setObjectName(QStringLiteral("reportThread"));
    connect(reportThread_, &QThread::finished, this, [this] { ReportFinished(); });
    reportThread_->start();
    RefreshReportButton();
}

void TServiceHistoryForm::ReportFinished()
{
    if (!reportThread_)
        return;
    reportThread_->wait();
    delete reportThread_;
    reportThread_ = nullptr;
    const std::shared_ptr<ReportJob> job = std::move(reportJob_);
    RefreshReportButton();
    // Only now is the whole file in place, or the old one still there.
    if (job->ok)
        dialogs_.Information(QStringLiteral("Service report saved: %1").arg(job->path));
    else
        dialogs_.Error(job->error);
}
