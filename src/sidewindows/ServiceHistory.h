#pragma once
// The Service history: a window beside the main one (never modal) that lists
// what was done to one actuator, newest first, from the service records of
// every program on this station. A configuration event shows its values; a
// write shows before and after side by side with the changed values marked
// and each register's result. "Report" prints the actuator's service report
// for the chosen day, or for the whole history, as a PDF.
//
// It only reads the records and never touches the bus.

#include <QDate>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "records/RecordStore.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTableView;
class QTableWidget;
class QThread;
class QTimer;
class ServiceEventsModel;
class UserDialogs;

class TServiceHistoryForm : public QWidget {
    Q_OBJECT
public:
    // `store` may be null or closed: the window then says that there are no
    // records and why.
    TServiceHistoryForm(records::RecordStore *store, UserDialogs &dialogs, QWidget *parent);
    ~TServiceHistoryForm() override;

    // Shows the window (in front) with the history of `motorId`, or of the
    // actuator it showed last; read afresh, since other programs may have
    // added events.
    void Open(std::optional<uint16_t> motorId);
    // Shows the history of `motorId` from now on.
    void ShowMotor(uint16_t motorId);
    // The actuator shown; nothing before one is chosen.
    std::optional<uint16_t> Motor() const { return motor_; }
    // An event just stored by the main window: listed at once when it is
    // the shown actuator's and falls on the chosen day.
    void EventRecorded(const records::Event &event);
    // Reads the actuators on record and the shown one's events again (other
    // programs may have added some).
    void Reload();
    // Reads from `store` from now on (the file was replaced, or made).
    void SetStore(records::RecordStore *store);
    // What the operator must know about recording (off, writes failing,
    // events lost); empty while all is well.
    void SetRecordingNotice(const QString &notice);

    // The events listed now, newest first.
    size_t ListedCount() const;
    // The whole history is loaded: the newest events come at once when the
    // window opens, older ones page by page while it stays open.
    bool Complete() const { return complete_; }

    // A report is being written (off the window's thread); "Report" is
    // disabled meanwhile.
    bool ReportRunning() const { return reportThread_ != nullptr; }

    // Events of the first page, and of each later one.
    static constexpr size_t FirstPage = 500;
    static constexpr size_t Chunk = 5000;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void BuildControls();
    void MotorComboBoxSelect();
    void DayComboBoxSelect();
    void EventSelected();
    void ReportButtonClick();
    // The report's thread has ended: says how it went.
    void ReportFinished();
    void RefreshReportButton();
    void FillMotorList();
    // Loads up to `count` events older than those loaded; false when there
    // were none.
    bool LoadOlder(size_t count);
    void LoadTimerTimer();
    // The day list: "Whole history" alone, then the days of events_ from
    // index `from` on.
    void ClearDays();
    void AddDays(size_t from);
    // Shows the chosen day's part of events_ in the list: `afresh` after
    // the day changed, else (older events loaded) by adding rows.
    void ApplyDay(bool afresh);
    // The chosen day's part of events_, [first, last).
    void DayRange(size_t &first, size_t &last) const;
    void ShowEventValues(const records::Event *event);
    // Says that the records are damaged and how many events are shown.
    void ShowDamage();
    std::optional<QDate> ChosenDay() const;

    records::RecordStore *store_;
    UserDialogs &dialogs_;
    std::optional<uint16_t> motor_;
    std::vector<records::Event> events_; // the shown actuator's, newest first
    bool complete_ = true;               // events_ holds all of them
    int64_t loadedMaxId_ = 0;            // the newest event read from the store
    std::set<QDate, std::greater<>> days_; // the days of events_, newest first
    int64_t dayFromMs_ = 0;              // the last day AddDays worked out
    int64_t dayToMs_ = 0;
    std::optional<QDate> keptDay_;       // chosen, and chosen again once loaded
    ServiceEventsModel *model_ = nullptr;
    QTimer *loadTimer_ = nullptr;
    bool filling_ = false; // the lists are being filled by the program

    // The report being written: its thread and what it tells when done.
    struct ReportJob;
    QThread *reportThread_ = nullptr;
    std::shared_ptr<ReportJob> reportJob_;

    QLabel *problemLabel = nullptr;
    QLabel *recordingLabel = nullptr;
    QComboBox *motorComboBox = nullptr;
    QComboBox *dayComboBox = nullptr;
    QPushButton *reportButton = nullptr;
    QTableView *eventsView = nullptr;
    QLabel *valuesLabel = nullptr;
    QTableWidget *valuesTable = nullptr;
};
