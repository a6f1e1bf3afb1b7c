#pragma once
// The main window of the service tool: four pages (Bus Devices, Actuators,
// Control, Debug), the status bar, three timers and the console state. Every
// operator workflow is a handler of this window; each workflow lives in its
// own .cpp beside this one.

#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "busfile/BusTransfer.h"
#include "console/ConsoleEnvironment.h"
#include "console/ConsoleState.h"
#include "diagnostics/BusHealth.h"
#include "modbus/RegisterOps.h"
#include "modbus/RtuEngine.h"
#include "records/EventWriter.h"
#include "records/RecordStore.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QShortcut;
class QSlider;
class QTabWidget;
class QTableWidget;
class QTimer;
class PortWatcher;
class TBusMonitorForm;
class TDropDownComboBox;
class TPerformanceGraph;
class TRadioGroup;
class TServiceHistoryForm;
class TBusBackupForm;
class TShape;
class TStatusBar;
class TUpDown;
class UserDialogs;
class WaitDialog;

class TMODBUSSettingForm : public QWidget {
    Q_OBJECT
public:
    explicit TMODBUSSettingForm(ConsoleEnvironment environment = {}, QWidget *parent = nullptr);
    ~TMODBUSSettingForm() override;

    // The console state, read-only.
    const ConsoleState &consoleState() const { return state_; }
    // Why the Bus monitor's Diagnose would be refused now; empty when not.
    QString DiagnoseRefusal() const { return DoctorRefusal(); }
    // The wait dialog is built after the window; start-up hands it over here.
    void SetWaitDialog(WaitDialog *waitDialog);

    static constexpr int ClientWidth = 752;
    static constexpr int ClientHeight = 490;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    // Stops what this window set moving (see EmergencyStop.cpp), then closes.
    void closeEvent(QCloseEvent *event) override;
#ifdef _WIN32
    // The device-change messages Windows sends every top-level window: the
    // port watcher looks at once instead of at its next poll
    // (DeviceChange.cpp).
    bool nativeEvent(const QByteArray &eventType, void *message, qintptr *result) override;
#endif

private:
    // Window, console state and refresh (Modbussetting.cpp).
    void BuildControls();
    void BuildDevicePage();
    void BuildSettingPage();
    void BuildOptionPage();
    void BuildDebugPage();
    void RouteEvents();
    void FormCreate();
    void FormDestroy();
    void InitConsoleState();
    void CentreOnDesktop();
    void SetProgress(int32_t done, int32_t total);
    void RefreshUiState(bool busy);
    // Sets an edit's text and runs its change handler even when the text
    // does not change, as a change made by the program is meant to.
    void SetEditText(QLineEdit *edit, const QString &text);
    void SetActionText(const QString &text); // status panel 1
    void DelayWithMessages(uint32_t milliseconds) { engine_.DelayWithMessages(milliseconds); }
    // Handles pending events and sleeps in the event loop for at most
    // `maxWaitMs`; the engine's waits run through it.
    void PumpMessages(uint32_t maxWaitMs);

    // Port selection and connection (Connection.cpp).
    bool OpenPort(const std::string &name);
    void ClosePort();
    void ConnectButtonClick();
    void PortNameComboBoxSelect();
    void PortNameComboBoxDropDown();
    void PortNameComboBoxChange();
    void autoSelectComPortCheckBoxClick();
    void BaudRateComboBoxSelect();
    void RefreshPortList();
    void AutoSelectRefresh();
    void InstallPortWatcher();
    void PortArrived();
    void PortRemoved(const std::string &removedName);
    bool ReadPortList(std::vector<std::string> *list);
    // Port name of combo item `index`; empty outside the items.
    std::string PortNameOfItem(int index) const;
    int IndexOfComboText() const; // ignoring case; -1 when absent
    void SetComboItems(const std::vector<std::string> &items);
    void SetComboText(const QString &text);

    // Bus scan and device information (BusScan.cpp).
    void ScanDeviceButtonClick();
    void GetDeviceStatusTimerTimer();
    void BusDevicesListViewClick();
    void AddBusDevice(uint8_t address, uint32_t model);
    // 0, 1, 2 for "LUMO-D", "LUMO-P", "LUMO-B" (exact text), else 0xFFFF.
    static uint32_t ModelCodeFromName(const QString &name);
    // The scan branch of a tick after a successful probe; false when a new
    // scan started meanwhile and took the lists over.
    bool AddProbedDevice(uint8_t address, uint32_t scanRun);
    // Switches GetDeviceStatusTimer on or off at the end of a tick, unless a
    // handler that ran during the tick's waits switched it on: that request
    // came after the reads the tick decided on, so it stands.
    void EndStatusTick(bool goOn);
    // RunAttempts with the window's gap and lastResult, returning the last
    // attempt's own result: lastResult is shared, and a handler that runs
    // during a gap (a disconnect sets it to 0) must not turn a failed
    // operation into a success.
    ResultCode TryOperation(int32_t tries, const std::function<ResultCode()> &operation,
                            const AttemptHooks &hooks = {});
    bool statusTickRunning_ = false; // a GetDeviceStatusTimer tick is under way
    uint32_t scanRun_ = 0;           // counts scan starts; a tick knows whose it is

    // Configuration page (ConfigPage.cpp).
    void StrokeEditChange();
    void ContainerStopEditChange();
    void ShelfStopEditChange();
    void MotorSpeedPWMEditChange();
    void OverLoadProtectEditChange();
    void HallSensorRadioGroupClick();
    void LimitSwitchRadioGroupClick();
    void HallPotRadioGroupClick();
    void BUSBaudRateRadioGroupClick();
    void VoltageOutComboBoxSelect();
    void LoadConfigButtonClick();
    void UpdateConfigButtonClick();
    // The page's controls seen through the configuration rules (whose types
    // the elaborated specifiers below declare, in the global namespace).
    struct ConfigInputs PageConfigInputs() const;
    // Colours the five edits; true when every input is valid.
    bool ValidateConfigInputs();
    // True and `record` filled from the page when its inputs are valid.
    bool GatherConfig(struct ActuatorConfig *record);
    // Puts a record on the page; every control whose value changes runs the
    // page's change handling.
    void ShowConfig(const struct ActuatorConfig &record);
    bool ReadConfig(uint8_t address, struct ActuatorConfig *record);
    struct ConfigWriteOutcome {
        bool complete = false;
        std::vector<records::RegisterResult> results; // each register the device took, then the failed one
        std::string detail;                           // for the record, after a failure
    };
    // After a failure the configuration is read back: a register whose
    // reply was lost but whose value the device holds counts as taken.
    ConfigWriteOutcome WriteConfig(uint8_t address, const struct ActuatorConfig *record);
    // What each of the ten change handlers does.
    void ConfigInputChange();
    // Shows the voltage row for a LUMO-P only (selectedModel) and judges
    // the page again.
    void ShowModelInputs();
    // For a device whose model is unknown, decides the VoltageOut a Write
    // sends (see ConfigPage.cpp); false when the Write must not go out.
    bool SettleVoltageOut(uint8_t address, struct ActuatorConfig *record);
    // The VoltageOut of the last successful configuration read, and the
    // device it was read from (0: none).
    struct {
        uint8_t address = 0;
        uint16_t value = 0;
    } lastReadVoltage_;
    // Unchecks "Show instant status" and stops its poll before a transfer,
    // then lets `settleMs` pass; nothing when the box is not checked.
    void StopInstantStatus(uint32_t settleMs);

    // Configuration file (ConfigFile.cpp).
    void ImportConfigButtonClick();
    void ExportConfigButtonClick();
    // False when the operator cancelled; false with `systemError` set when
    // the file could not be written or read. `path` receives the file's
    // name when it was written or read.
    bool ExportConfigFile(const struct ActuatorConfig &record, QString &systemError, QString &path);
    bool ImportConfigFile(struct ActuatorConfig *record, QString &systemError, QString &path);

    // Stroke learning (Learning.cpp).
    void LearnButtonClick();
    void MotorLearnStatusTimerTimer();
    void HideWaitDialog();
    // Selects the Bus Devices row of `address` (as a click does) when the
    // selection has moved away from it; false when no row has that address.
    bool ReselectDevice(uint8_t address);

    // Motor control and live status (MotorControl.cpp).
    void MODBusDevicesListBoxClick();
    void BusAdvCheckBoxClick();
    void motorUpButtonClick();
    void motorDownButtonClick();
    void motorStopButtonClick();
    void targetPosEditChange();
    void motorGoToPosTrackBarChange();
    void motorActionGoButtonClick();
    void MotorSpeedUpDownClick();
    void GetMotorStatusCheckBoxClick();
    void ShowMotorStatus(uint16_t motionState, uint16_t flags);
    // The status-poll branch of a GetDeviceStatusTimer tick for `address`,
    // after the tick's first status read (`probed`: it succeeded, with
    // `motion` and `flags`). True when the poll goes on.
    bool StatusPollTick(uint8_t address, bool probed, uint16_t motion, uint16_t flags);
    // WriteActionCmdIn of `command` to controlDeviceId with `tries` attempts.
    ResultCode SendMotorCommand(uint16_t command, int32_t tries);
    // "■" (and Esc, and the stops on closing) makes three attempts whatever
    // the Debug page's attempt count says.
    static constexpr int32_t kStopTries = 3;
    // Switches the status poll on (300 ms) when a device is selected.
    void StartStatusPoll();
    // The Control page list's selected address; 0 for none or no number.
    uint8_t SelectedControlAddress() const;
    // Makes `address` the device the Control page commands, with its model
    // and position range unknown until they are read for it. The address,
    // model and range change only together, so the buttons never command
    // one device with another's model or limits.
    void SetControlDevice(uint8_t address);
    // Forgets the position range: no range shown, track bar off, the
    // target judged again (invalid until a range is read).
    void ForgetPosRange();
    // Judges targetPosEdit against the range: its colour, targetPosValid
    // and, for a valid target, the track bar. No refresh.
    void CheckTargetPos();
    // A device click that finds the bus in another workflow's hands is kept
    // and its reads run once that workflow is over.
    bool ControlSelectMustWait() const;
    void RunPendingControlSelect();
    // Reads the model, range, position and current of controlDeviceId.
    void ReadControlDevice();
    QTimer *controlSelectTimer_ = nullptr;
    bool controlSelectPending_ = false;
    bool controlSelectRunning_ = false;

    // Device address change (AddressChange.cpp).
    void NewDeviceIDEditChange();
    void modifyDeviceIDButtonClick();

    // Debug console (DebugConsole.cpp).
    void FunCodeComboBoxSelect();
    void RegisterComboBoxSelect();
    void RegisterComboBoxChange();
    void RegCountsComboBoxSelect();
    void dSendCMDButtonClick();
    void dClearButtonClick();
    void debugMemoDblClick();
    void CMDTryCountUpDownClick();
    // Tells state_.moved of the `count` values a write sent from
    // debugRegister on.
    void NoteDebugWrites(uint8_t address, uint16_t count, const uint16_t *values);

    // Esc and every other stop (EmergencyStop.cpp).
    // Esc is watched application-wide: it stops from every window of the
    // tool whatever has the focus.
    void InstallStopKey();
    // True when `object` lies in one of this tool's windows: the main
    // window, the wait dialog, the Bus monitor, the Service history, a
    // message box or a drop-down list of any of them.
    bool InToolWindow(QObject *object) const;
    // What Esc does: ends what would set an actuator moving again, then
    // stops everything listed and the Control page's device.
    void StopKeyPressed();
    // Ends the cycle test, the learning watch and any move between its
    // writes or attempts, so that nothing sets an actuator moving again
    // after the stops.
    void EndMotionWorkflows();
    // Stops everything state_.moved lists (and `alsoStop`) at the rates they
    // were reached at, then puts the port back at the connected rate. True
    // when nothing is left listed. During the bus doctor the stops wait
    // until it has given the port back.
    bool StopListed(const std::vector<uint8_t> &alsoStop = {});
    // Before the port closes (Disconnect, a move to another port, closing
    // the window, a vanished port that is still open): ends the workflows
    // and stops what is listed, handling no window message meanwhile.
    void StopBeforeClose();
    // On connecting to a port whose vanishing left devices listed: offers
    // to stop them.
    void OfferKeptStops();
    // Puts the open port at `baud` (reopening it); true when it is there.
    bool UsePortRate(uint32_t baud);
    // Keep state_.moved up to date after a write of `value` to `reg` of
    // `address` that ended with `result`.
    void NoteMotionWrite(uint8_t address, uint16_t reg, uint16_t value, ResultCode result);
    void NoteMotionCommand(uint8_t address, uint16_t command, ResultCode result);
    // After a successful status read of `address`.
    void NoteMotionState(uint8_t address, uint16_t motion, uint16_t flags);
    // Ends a learning watch that a stop interrupted: "Motor Learn end", and
    // no stroke is reported.
    void EndInterruptedLearning();
    QObject *stopKeyFilter_ = nullptr;
    // Counts stops; a move that finds it changed between two of its writes
    // or attempts gives up rather than set the actuator moving again.
    uint32_t stopEpoch_ = 0;
    bool learnInterrupted_ = false;
    bool stoppingMovedDevices_ = false; // the stops before the port closes
    bool stopAfterDoctor_ = false;      // a stop waits for the doctor to give the port back
    uint32_t lastStopResult_ = 0;       // the last stop run's outcome, for the status bar
    uint32_t connectedBaud_ = 0;        // the rate chosen at connect
    uint32_t portBaud_ = 0;             // the rate the port is at now

    // Cycle test (CycleTest.cpp).
    void cycleTestStartButtonClick();
    void cycleTestStopButtonClick();
    void cycleTestTimerUpDownClick();
    void cycleTestTimerTimer();
    // A run steps the address typed on the Debug page, or, with none typed,
    // whatever device the Control page names at each step (a row click or
    // a scan may change it while the run goes on).
    bool CycleTestFollowsControlDevice() const;
    uint8_t CycleTestAddress() const;

    // Bus monitor and bus doctor (BusMonitorWorkflow.cpp).
    void InstallBusMonitor();
    void ShowBusMonitor();
    void DiagnoseBus();
    // Why the doctor cannot have the bus now; empty when it can.
    QString DoctorRefusal() const;
    BusHealth busHealth_;                    // since the last connect
    TBusMonitorForm *busMonitor_ = nullptr;  // built when first opened
    int pumpDepth_ = 0;                      // engine waits under way (nested)
    bool doctorRunning_ = false;

    // The Bus backup (BusBackupWorkflow.cpp): the whole bus against a bus
    // file, and a replaced unit given its predecessor's configuration.
    void InstallBusBackup();
    void ShowBusBackup();
    void BackUpBus(const QString &path);
    void CompareBus(const QString &path);
    void RestoreSelectedDevices();
    // Why bus-wide work cannot have the bus now; empty when it can.
    QString BusWorkRefusal() const;
    // Takes the bus as Diagnose does (pages disabled, status poll paused);
    // false, with the reason shown, when it is not free.
    bool BeginBusWork(const QString &what, int steps);
    void EndBusWork(const QString &outcome);
    // Why the work must end before its next device (Stop, Esc, a close,
    // the port closed or changed); empty to go on.
    QString BusWorkInterruption() const;
    busfile::Attempt BusWorkAttempt(int32_t tries);
    // A fast scan of from..to, each device found read whole; nothing, with
    // `why`, when it was stopped or a device could not be read.
    std::optional<std::vector<busfile::Device>> ReadWholeBus(uint8_t from, uint8_t to,
                                                              const std::set<uint8_t> &expected, QString &why);
    busfile::DeviceRestore RestoreBusDevice(uint8_t address, const struct ActuatorConfig &target,
                                            const busfile::Device &now, bool sameUnit);
    // "5: was 5A05, now 7B11 (replaced?)" when the records last saw another
    // unit at `address` on this station and port; said in status panel 1
    // and, with `offer`, followed by the offer to give the new unit the old
    // one's configuration.
    std::optional<QString> CheckReplacedUnit(uint8_t address, uint16_t motorId, bool offer);
    void OfferRecordsRestore(uint8_t address, uint16_t was, uint16_t motorId);
    void OfferPendingReplaced();
    struct PendingReplaced {
        uint8_t address;
        uint16_t was;
        uint16_t motorId;
    };
    std::optional<PendingReplaced> pendingReplaced_;
    TBusBackupForm *busBackup_ = nullptr; // built when first opened
    bool busWorkRunning_ = false;
    bool stopBusWork_ = false;       // Esc or a close asked the work to end
    bool busWorkPollWasOn_ = false;
    std::string busWorkPort_;        // the port the work began on
    QStringList busWorkNotes_;       // replaced units met on the way
    std::set<std::pair<uint8_t, uint16_t>> replacedOffered_; // this connection: address, new unit

    // Service records (Recording.cpp): each workflow notes what it did to
    // an actuator, from what it has read or written anyway; nothing here
    // goes to the bus. An actuator is known by the motor ID a click on its
    // Bus Devices row read; events at an address whose motor ID this
    // connection has not read are not recorded.
    // Events are written by records_'s own thread: a records file another
    // program holds locked delays the records, never the window.
    void OpenRecords();
    // Before the window goes: what waits is written within a bounded time,
    // and what could not be is said on stderr.
    void CloseRecords();
    bool RecordingOn() const;
    // From records_'s thread, queued to this one: an event written, or the
    // state of recording changed.
    void RecordsChanged(const records::EventWriter::Status &status, const records::Event *written);
    // Keeps the state of recording where the operator sees it: a mark on
    // the result panel with the reason as its tooltip, and the Service
    // history; a new problem is also said once in status panel 1 and on
    // stderr.
    void ShowRecordsStatus(const records::EventWriter::Status &status);
    // The Service history's own read-only connection, opened again when
    // the file it had was replaced or did not exist yet.
    records::RecordStore *HistoryStore(bool reopen);
    std::optional<uint16_t> MotorIdAt(uint8_t address) const;
    void NoteMotorId(uint8_t address, uint16_t motorId);
    // The actuator at an address may have changed (a scan starts, a
    // connect, an address change): what is pending for it is stored and
    // its motor ID is read again before anything more is recorded there.
    void ForgetMotorId(uint8_t address);
    void ForgetMotorIds();
    // Fills in the actuator, the address, the origin and the time, and
    // stores `event`; nothing when the motor ID at `address` is not known.
    void Record(uint8_t address, records::Event event);
    void RecordDeviceSeen(uint8_t address, std::optional<uint16_t> firmware);
    void RecordConfigRead(uint8_t address, const struct ActuatorConfig &values, const char *detail = "");
    // `detail`, for a failed write: what the read-back after it showed.
    void RecordConfigWrite(uint8_t address, const struct ActuatorConfig &written, ResultCode result,
                           std::vector<records::RegisterResult> results, std::string detail = {});
    void RecordAddressChange(uint8_t from, uint8_t to, ResultCode result, const char *detail);
    void RecordLearning(uint8_t address, std::optional<uint16_t> stroke, ResultCode result, const char *detail);
    void RecordConfigFile(records::EventKind kind, const QString &path, const struct ActuatorConfig &values);
    // A motion command's summary waits while the status poll follows the
    // move, and is stored with the last position read once the actuator
    // stands (or the next command, a disconnect or the close comes first).
    void RecordMotion(uint8_t address, const std::string &action, ResultCode result);
    void NotePosition(uint8_t address, uint16_t position);
    void FlushMotion(uint8_t address);
    void FlushAllMotion();
    // A cycle-test run is one event: its steps and its first error.
    void NoteCycleStep(uint32_t run, uint8_t address, uint32_t step, ResultCode result);
    void EndCycleRecord();
    // Before the port closes: what is pending is stored and the
    // connection's motor IDs are forgotten.
    void ForgetConnectionRecords();
    std::unique_ptr<records::EventWriter> records_;
    std::string recordsPath_;
    std::unique_ptr<records::RecordStore> historyStore_;
    records::Origin origin_;                        // station, user, program
    std::string recordsProblemSaid_;                // the last problem said on stderr
    std::string recordsSetAside_;                   // the set-aside the history has seen
    QString recordsNotice_;                         // the mark's tooltip; empty while all is well
    std::map<uint8_t, uint16_t> motorIds_;           // this connection: address -> motor ID
    struct SeenDevice {
        uint16_t motorId;
        std::optional<uint16_t> firmware;
        uint32_t model;
        bool operator==(const SeenDevice &) const = default;
    };
    std::map<uint8_t, SeenDevice> seenDevices_;      // this connection: the device seen last at an address
    std::map<uint16_t, struct ActuatorConfig> lastReadConfig_; // motor ID -> last read or written here
    std::map<uint8_t, uint16_t> lastPosition_;       // this connection: address -> CurrentPos
    std::map<uint8_t, records::Event> pendingMotion_; // address -> a move not yet over
    struct {
        uint32_t run = 0;          // counts "start" clicks
        bool active = false;
        uint8_t address = 0;
        uint32_t steps = 0;        // steps whose command succeeded
        uint32_t sent = 0;
        std::optional<ResultCode> firstError;
        uint32_t firstErrorStep = 0;
    } cycleRecord_;

    // The Service history (ServiceHistoryWorkflow.cpp): opened with Ctrl+H
    // or from the status bar's result panel, beside the Bus monitor.
    void InstallServiceHistory();
    void ShowServiceHistory();
    TServiceHistoryForm *serviceHistory_ = nullptr; // built when first opened

    // Injected services.
    ConsoleEnvironment env_;
    Clock &clock_;
    std::unique_ptr<UserDialogs> ownedDialogs_;
    UserDialogs &dialogs_;
    WaitDialog *waitDialog_;
    // The wait dialog as a widget, when it is one: the shell may destroy it
    // before this window, whose last stops must not touch it then.
    QPointer<QWidget> waitWidget_;
    bool waitIsWidget_ = false;
    // The wait dialog unless it has been destroyed.
    WaitDialog *LiveWaitDialog() const { return waitIsWidget_ && !waitWidget_ ? nullptr : waitDialog_; }

    // The engine reads state_.comPort and state_.responseDelayMs through
    // references, so state_ is declared (and built) before it.
    ConsoleState state_;
    RtuEngine engine_;
    ActuatorRegisters registers_; // one operation per register, on engine_
    std::unique_ptr<PortWatcher> portWatcher_;
    QTimer *portWatchTimer_ = nullptr;

    // Window frame.
    QTabWidget *PageControl1 = nullptr;
    QWidget *DevicePage = nullptr;
    QWidget *SettingPage = nullptr;
    QWidget *OptionPage = nullptr;
    QWidget *DebugPage = nullptr;
    TStatusBar *OptionStatusBar = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QTimer *GetDeviceStatusTimer = nullptr;
    QTimer *MotorLearnStatusTimer = nullptr;
    QTimer *cycleTestTimer = nullptr;

    // Bus Devices page.
    QGroupBox *CommunicationGroupBox = nullptr;
    QCheckBox *autoSelectComPortCheckBox = nullptr;
    TDropDownComboBox *PortNameComboBox = nullptr;
    QLabel *BaudRateLabel = nullptr;
    QComboBox *BaudRateComboBox = nullptr;
    QPushButton *ConnectButton = nullptr;
    QGroupBox *BusDevicesGroupBox = nullptr;
    QTableWidget *BusDevicesListView = nullptr;
    QPushButton *ScanDeviceButton = nullptr;
    QLabel *Label8 = nullptr;
    QLineEdit *MotorIDEdit = nullptr;
    QLabel *Label9 = nullptr;
    QLineEdit *FwVerMajorEdit = nullptr;
    QLineEdit *FwVerMinorEdit = nullptr;
    QLabel *Label7 = nullptr;
    QLineEdit *NewDeviceIDEdit = nullptr;
    QPushButton *modifyDeviceIDButton = nullptr;

    // Actuators page.
    QGroupBox *ConfigGroupBox = nullptr;
    QLabel *DeviceIDLabel = nullptr;
    QLineEdit *DeviceIDEdit = nullptr;
    TRadioGroup *HallSensorRadioGroup = nullptr;
    TRadioGroup *LimitSwitchRadioGroup = nullptr;
    TRadioGroup *HallPotRadioGroup = nullptr;
    TRadioGroup *BUSBaudRateRadioGroup = nullptr;
    QLabel *StrokeLabel = nullptr;
    QLineEdit *StrokeEdit = nullptr;
    QPushButton *LearnButton = nullptr;
    QLabel *ContainerStopLabel = nullptr;
    QLineEdit *ContainerStopEdit = nullptr;
    QLabel *ShelfStopLabel = nullptr;
    QLineEdit *ShelfStopEdit = nullptr;
    QLabel *MotorSpeedLabel = nullptr;
    QLineEdit *MotorSpeedPWMEdit = nullptr;
    QLabel *OverLoadLabel = nullptr;
    QLineEdit *OverLoadProtectEdit = nullptr;
    QLabel *VoltageOutLabel = nullptr;
    QComboBox *VoltageOutComboBox = nullptr;
    QPushButton *LoadConfigButton = nullptr;
    QPushButton *UpdateConfigButton = nullptr;
    QFrame *Header1 = nullptr;
    QFrame *Header2 = nullptr;
    QGroupBox *GroupBox1 = nullptr;
    QPushButton *ImportConfigButton = nullptr;
    QPushButton *ExportConfigButton = nullptr;

    // Control page.
    QGroupBox *SelectDeviceGroupBox = nullptr;
    QListWidget *MODBusDevicesListBox = nullptr;
    QCheckBox *BusAdvCheckBox = nullptr;
    QGroupBox *ActionGroupBox = nullptr;
    QPushButton *motorUpButton = nullptr;
    QPushButton *motorStopButton = nullptr;
    QPushButton *motorDownButton = nullptr;
    QLabel *targetPosLabel = nullptr;
    QLineEdit *targetPosEdit = nullptr;
    QLabel *PosRangeLabel = nullptr;
    QSlider *motorGoToPosTrackBar = nullptr;
    QPushButton *motorActionGoButton = nullptr;
    QCheckBox *detectStatusAfterActionCheckBox = nullptr;
    QLineEdit *MotorSpeedEdit = nullptr;
    TUpDown *MotorSpeedUpDown = nullptr;
    QGroupBox *MotorStatusGroupBox = nullptr;
    QCheckBox *GetMotorStatusCheckBox = nullptr;
    QLabel *motorCurrentLabel = nullptr;
    QLineEdit *motorCurrentEdit = nullptr;
    QLabel *motorPositionLabel = nullptr;
    QLineEdit *motorPositionEdit = nullptr;
    QLabel *MotorStatusLabel = nullptr;
    QLabel *HallErrorLabel = nullptr;
    TShape *HallErrorShape = nullptr;
    QLabel *MotorOverLoadLabel = nullptr;
    TShape *MotorOverLoadShape = nullptr;
    QLabel *Label2 = nullptr;
    TShape *InLearningShape = nullptr;
    QLabel *Label3 = nullptr;
    TShape *InGoToShape = nullptr;

    // Debug page.
    QLabel *Label10 = nullptr;
    QLineEdit *AddressEdit = nullptr;
    QLabel *Label4 = nullptr;
    QComboBox *FunCodeComboBox = nullptr;
    QLabel *Label1 = nullptr;
    QComboBox *RegisterComboBox = nullptr;
    QLabel *Label5 = nullptr;
    QComboBox *RegCountsComboBox = nullptr;
    QLabel *Label6 = nullptr;
    QLineEdit *RegValue1Edit = nullptr;
    QLineEdit *RegValue2Edit = nullptr;
    QLineEdit *RegValue3Edit = nullptr;
    QLineEdit *RegValue4Edit = nullptr;
    QLineEdit *RegValue5Edit = nullptr;
    QLineEdit *RegValue6Edit = nullptr;
    QLineEdit *RegValueEdits[6] = {};   // RegValue1Edit .. RegValue6Edit in order
    QPushButton *dSendCMDButton = nullptr;
    QPlainTextEdit *debugMemo = nullptr;
    QPushButton *dClearButton = nullptr;
    TPerformanceGraph *MotorCurrentPerformanceGraph = nullptr;
    QLabel *Label11 = nullptr;
    QLineEdit *CMDRetryEdit = nullptr;
    TUpDown *CMDTryCountUpDown = nullptr;
    QGroupBox *TestGroupBox = nullptr;
    QLineEdit *TimerIntervalEdit = nullptr;
    TUpDown *cycleTestTimerUpDown = nullptr;
    QPushButton *cycleTestStartButton = nullptr;
    QPushButton *cycleTestStopButton = nullptr;
    QCheckBox *ErrorStopCheckBox = nullptr;
};
