#pragma once
// The Bus monitor: a window beside the main one (never modal) that lists the
// frames on the line, decoded, newest last; counts per device how its
// requests went; and shows what the bus doctor found. It reads the main
// window's BusHealth and never touches the bus itself: "Diagnose" asks the
// main window, which owns the engine and the port, to run the doctor.
//
// Memory is bounded: the window keeps at most KeptFrames frames (as many as
// BusHealth does), and the list shows at most as many lines.

#include <QWidget>
#include <cstdint>
#include <deque>
#include <optional>

#include "diagnostics/BusHealth.h"
#include "diagnostics/Doctor.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTimer;
class UserDialogs;

class TBusMonitorForm : public QWidget {
    Q_OBJECT
public:
    TBusMonitorForm(const BusHealth &health, UserDialogs &dialogs, QWidget *parent);

    static constexpr int KeptFrames = 2000;
    // The highest slave address the filter takes (0: broadcasts).
    static constexpr uint32_t MaxSlaveAddress = 247;
    // While the window is shown it takes what is new this often. Each
    // refresh that adds lines repaints the list; twice a second still reads
    // as live and keeps the window with the status poll under 1 % of a core
    // (four times a second came close to it).
    static constexpr int RefreshMs = 500;

    // Takes the new frames and the device counters from BusHealth now.
    void Refresh();

    // The doctor, as the main window runs it: "Diagnose" turns into "Stop"
    // while it runs; the steps, then the findings, go to the findings list.
    void DoctorStarted();
    void DoctorStep(const QString &step);
    void DoctorFinished(const DoctorReport &report);
    // Diagnose was clicked but the bus is not free; `why` says what to do.
    void DoctorRefused(const QString &why);
    // "Stop" was clicked since DoctorStarted.
    bool DoctorStopRequested() const { return doctorStopRequested_; }

    // One frame as the list and the .txt file show it: seconds since the
    // first frame of the connection, the decoded words, and the
    // transaction's result when it failed.
    QString FrameLine(const MonitorFrame &frame) const;

signals:
    void DiagnoseRequested();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void BuildControls();
    void PauseButtonClick();
    void ClearButtonClick();
    void AddressFilterEditChange();
    void SaveButtonClick();
    void DiagnoseButtonClick();
    void RefreshControls();
    void RefreshDevices();
    // Fills the list again from the kept frames, through the filter.
    void ShowKeptFrames();
    bool Passes(const MonitorFrame &frame) const;
    bool WriteFrames(const QString &path, bool csv, QString &error) const;

    const BusHealth &health_;
    UserDialogs &dialogs_;
    BusHealth::FrameCursor cursor_;
    std::deque<MonitorFrame> frames_;   // the last KeptFrames, oldest first
    std::optional<uint32_t> zeroMs_;    // engine time of the connection's first frame
    std::optional<uint8_t> filterAddress_;
    bool filterInvalid_ = false; // a number that is no Modbus address
    bool paused_ = false;
    bool doctorRunning_ = false;
    bool doctorStopRequested_ = false;

    QTimer *refreshTimer_ = nullptr;
    QPlainTextEdit *framesView = nullptr;
    QPushButton *pauseButton = nullptr;
    QPushButton *clearButton = nullptr;
    QLineEdit *addressFilterEdit = nullptr;
    QLabel *filterProblemLabel = nullptr;
    QPushButton *saveButton = nullptr;
    QTableWidget *devicesTable = nullptr;
    QPushButton *diagnoseButton = nullptr;
    QLabel *doctorStepLabel = nullptr;
    QPlainTextEdit *findingsView = nullptr;
};
