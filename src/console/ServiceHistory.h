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
#include <optional>
#include <vector>

#include "records/RecordStore.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTableView;
class QTableWidget;
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

    // The events listed now, newest first.
    size_t ListedCount() const;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void BuildControls();
    void MotorComboBoxSelect();
    void DayComboBoxSelect();
    void EventSelected();
    void ReportButtonClick();
    void FillMotorList();
    void FillDayList();
    // Shows the chosen day's part of events_ in the list.
    void ApplyDay();
    void ShowEventValues(const records::Event *event);
    std::optional<QDate> ChosenDay() const;

    records::RecordStore *store_;
    UserDialogs &dialogs_;
    std::optional<uint16_t> motor_;
    std::vector<records::Event> events_; // the shown actuator's, newest first
    ServiceEventsModel *model_ = nullptr;
    bool filling_ = false; // the lists are being filled by the program

    QLabel *problemLabel = nullptr;
    QComboBox *motorComboBox = nullptr;
    QComboBox *dayComboBox = nullptr;
    QPushButton *reportButton = nullptr;
    QTableView *eventsView = nullptr;
    QLabel *valuesLabel = nullptr;
    QTableWidget *valuesTable = nullptr;
};
