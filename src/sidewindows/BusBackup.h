#pragma once
// The Bus backup: a window beside the main one (never modal) that shows a
// whole bus against a bus file, device by device: the same, differing
// (register by register, the file's value beside the bus's, marked),
// missing, new, moved or replaced. "Back up...", "Compare with..." and
// "Restore selected" ask the main window, which owns the engine and the
// port, to do the bus work; this window shows its progress and its outcome
// and never touches the bus itself. Showing a comparison sends nothing.

#include <QString>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "busfile/BusFile.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class UserDialogs;

class TBusBackupForm : public QWidget {
    Q_OBJECT
public:
    TBusBackupForm(UserDialogs &dialogs, QWidget *parent);

    // The table's columns.
    enum Column { AddressColumn, ModelColumn, MotorIdColumn, StateColumn, FileColumn, BusColumn, ColumnCount };

    // Bus work as the main window runs it: the three buttons give way to
    // "Stop", which ends the work at the next device.
    void WorkStarted(const QString &what, int steps);
    void WorkStep(int done, const QString &step);
    void WorkFinished(const QString &outcome);
    // A button was clicked but the bus is not free; `why` says what to do.
    void Refused(const QString &why);
    // "Stop" was clicked since WorkStarted.
    bool StopRequested() const { return stopRequested_; }
    bool Working() const { return working_; }

    // The bus now against `file`, read from `path`.
    void ShowComparison(const QString &path, const busfile::BusFile &file,
                        const std::vector<busfile::Comparison> &result);
    // One device's restore, in its row: "restored", "failed: ...".
    void ShowRestoreResult(uint8_t address, const QString &result, bool restored);

    // The file's addresses of the selected rows a restore may write:
    // differing devices of the file's model, and replaced units.
    std::vector<uint8_t> SelectedForRestore() const;
    // The comparison shown, and the file it was made with.
    const std::vector<busfile::Comparison> &Comparisons() const { return comparisons_; }
    const QString &FilePath() const { return path_; }

    // One line for the State column: "same", "differs (2 registers)",
    // "5: was 5A05, now 7B11 (replaced?)", ...
    static QString StateText(const busfile::Comparison &c);

signals:
    void BackupRequested(const QString &path);
    void CompareRequested(const QString &path);
    void RestoreRequested();

private:
    void BuildControls();
    void BackupButtonClick();
    void CompareButtonClick();
    void RestoreButtonClick();
    void StopButtonClick();
    void RefreshControls();
    QTreeWidgetItem *RowOf(uint8_t address) const;

    UserDialogs &dialogs_;
    QString path_;
    std::vector<busfile::Comparison> comparisons_;
    bool working_ = false;
    bool stopRequested_ = false;

    QLabel *busBackupFileLabel = nullptr;
    QTreeWidget *busBackupTable = nullptr;
    QPushButton *backUpButton = nullptr;
    QPushButton *compareButton = nullptr;
    QPushButton *restoreButton = nullptr;
    QPushButton *stopButton = nullptr;
    QProgressBar *busBackupProgress = nullptr;
    QLabel *busBackupStatus = nullptr;
};
