// The window on Windows. scripts/windows-gui-tests.sh runs this under Wine in
// a virtual X display, so the window is a native Windows window of Qt's
// windows platform plugin, and the virtual bus (lumo-sim, running natively)
// is a COM port named by LUMO_WIN_WINDOW_COM: listed in SERIALCOMM and, as
// the port of an FTDI adapter, under that driver's Enum key. The demo bus
// serves a LUMO-D at 1, a LUMO-P at 5 and a LUMO-B at 9.
//
// One window goes through the operator's workflows in order, each test
// building on the one before: the port list, Auto Select and Connect, the
// scan, device information, a configuration read and write, stroke learning
// with the wait dialog, a motion command with the status poll, Export and
// Import through the system's file dialogs and the real message boxes, the
// service records they left (SQLite on Windows), and the port going away
// (device-change messages and the registry's list).
//
// Wine sends no device-change message for a serial port, so the test sends
// them as Windows does; a driver's own removal stays untested, as does a
// second program's exclusive open (Wine grants it).

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "PictureChecks.h"
#include "TestMain.h"
#include "app/WaitDlg.h"
#include "config/ActuatorConfig.h"
#include "console/Controls.h"
#include "console/Fonts.h"
#include "console/Modbussetting.h"
#include "ui/UserDialogs.h"
#include "records/RecordStore.h"
#include "serial/SerialPorts.h"

// After Qt, which sets up <windows.h> its own way.
#include <windows.h>
#include <dbt.h>

namespace {

constexpr const wchar_t *kSerialComm = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::wstring Wide(const QString &text)
{
    return text.toStdWString();
}

// The name of the SERIALCOMM value whose data is `port`; empty when none is.
std::wstring SerialCommValueOf(const QString &port)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return {};
    std::wstring found;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        wchar_t data[64] = {};
        DWORD dataBytes = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        const LONG status = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                          reinterpret_cast<BYTE *>(data), &dataBytes);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status == ERROR_SUCCESS && type == REG_SZ && QString::fromWCharArray(data) == port) {
            found.assign(name, nameLength);
            break;
        }
    }
    RegCloseKey(key);
    return found;
}

bool SetSerialCommValue(const std::wstring &name, const QString &port)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return false;
    const std::wstring data = Wide(port);
    const LONG status = RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(data.c_str()),
                                       static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool DeleteSerialCommValue(const std::wstring &name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return false;
    const LONG status = RegDeleteValueW(key, name.c_str());
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// A SERIALCOMM value that is there for one scope, as a port whose driver
// has loaded (`present`) or one that has gone for a while (not `present`).
class SerialCommChange {
public:
    SerialCommChange(std::wstring name, QString port, bool present)
        : name_(std::move(name)), port_(std::move(port)), present_(present)
    {
        done_ = present_ ? SetSerialCommValue(name_, port_) : DeleteSerialCommValue(name_);
    }
    ~SerialCommChange()
    {
        if (done_ && present_)
            DeleteSerialCommValue(name_);
        else if (done_)
            SetSerialCommValue(name_, port_);
    }
    SerialCommChange(const SerialCommChange &) = delete;
    SerialCommChange &operator=(const SerialCommChange &) = delete;
    bool done() const { return done_; }

private:
    std::wstring name_;
    QString port_;
    bool present_;
    bool done_ = false;
};

// Sends the window a device-change message as Windows broadcasts it to
// every top-level window: `event` for the port device `port`.
void SendDeviceChange(QWidget &window, WPARAM event, const QString &port)
{
    const std::wstring name = Wide(port);
    constexpr size_t kNameAt = offsetof(DEV_BROADCAST_PORT_W, dbcp_name);
    std::vector<unsigned char> bytes(kNameAt + (name.size() + 1) * sizeof(wchar_t), 0);
    auto *message = reinterpret_cast<DEV_BROADCAST_PORT_W *>(bytes.data());
    message->dbcp_size = static_cast<DWORD>(bytes.size());
    message->dbcp_devicetype = DBT_DEVTYP_PORT;
    std::copy(name.begin(), name.end(), message->dbcp_name);
    SendMessageW(reinterpret_cast<HWND>(window.winId()), WM_DEVICECHANGE, event,
                 reinterpret_cast<LPARAM>(bytes.data()));
}

template <class T> T *Find(QWidget *root, const char *name)
{
    T *found = root->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("no control named %s", name);
    return found;
}

// The boxes the window shows, recorded instead of shown; no file is chosen.
class RecordedDialogs : public UserDialogs {
public:
    void Information(const QString &text) override { shown << QStringLiteral("info: ") + text; }
    void Error(const QString &text) override { shown << QStringLiteral("error: ") + text; }
    std::optional<QString> SaveFileName(const QString &, const QString &, const QString &, const QString &) override
    {
        return std::nullopt;
    }
    std::optional<QString> OpenFileName(const QString &, const QString &) override { return std::nullopt; }
    bool ConfirmOverwrite(const QString &) override { return false; }

    QStringList shown;
};

// The operator's dialogs: recorded, or for the file test the real message
// boxes and the system's file dialogs.
class SwitchableDialogs : public UserDialogs {
public:
    void Information(const QString &text) override { to->Information(text); }
    void Error(const QString &text) override { to->Error(text); }
    std::optional<QString> SaveFileName(const QString &caption, const QString &filter, const QString &initialName,
                                        const QString &defaultExt) override
    {
        return to->SaveFileName(caption, filter, initialName, defaultExt);
    }
    std::optional<QString> OpenFileName(const QString &caption, const QString &filter) override
    {
        return to->OpenFileName(caption, filter);
    }
    bool ConfirmOverwrite(const QString &path) override { return to->ConfirmOverwrite(path); }

    UserDialogs *to = nullptr;
};

// The visible top-level dialog of the system's own dialog class that this
// process shows (the file dialogs); null when there is none.
HWND FindSystemDialog()
{
    struct Search {
        DWORD process;
        HWND found;
    } search{GetCurrentProcessId(), nullptr};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto *s = reinterpret_cast<Search *>(param);
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            wchar_t kind[16] = {};
            GetClassNameW(window, kind, 16);
            if (process != s->process || !IsWindowVisible(window) || std::wstring(kind) != L"#32770")
                return TRUE;
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The file name box of a file dialog: its first visible, enabled, writable
// edit.
HWND FindNameBox(HWND dialog)
{
    HWND found = nullptr;
    EnumChildWindows(
        dialog,
        [](HWND child, LPARAM param) -> BOOL {
            wchar_t kind[16] = {};
            GetClassNameW(child, kind, 16);
            const LONG style = GetWindowLongW(child, GWL_STYLE);
            if (std::wstring(kind) != L"Edit" || !IsWindowVisible(child) || !IsWindowEnabled(child) ||
                (style & ES_READONLY) != 0)
                return TRUE;
            *reinterpret_cast<HWND *>(param) = child;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// Answers the modal dialogs the window opens, as an operator does, from a
// timer that runs inside their message loops: a message box is read and
// confirmed with OK; the system's file dialog gets `fileName` typed into
// its name box and is confirmed with its OK button. Whatever is still open
// after 15 s (a dialog of another kind, one that did not take the name) is
// cancelled, so that a fault fails the test instead of hanging it.
class Operator : public QObject {
public:
    explicit Operator(QString fileName) : fileName_(QDir::toNativeSeparators(fileName))
    {
        connect(&timer_, &QTimer::timeout, this, [this] { Step(); });
        timer_.start(50);
        since_.start();
    }

    QStringList messages; // the texts of the boxes confirmed
    int fileDialogs = 0;  // system file dialogs answered
    int cancelled = 0;    // dialogs closed unanswered

private:
    void Step()
    {
        if (since_.elapsed() > 15000) {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                ++cancelled;
                modal->close();
            } else if (const HWND dialog = FindSystemDialog()) {
                ++cancelled;
                PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            }
            return;
        }
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            messages << box->text();
            if (QAbstractButton *ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
            return;
        }
        const HWND dialog = FindSystemDialog();
        if (dialog == nullptr || dialog == answered_) {
            answered_ = dialog;
            return;
        }
        const HWND nameBox = FindNameBox(dialog);
        if (nameBox == nullptr)
            return; // still being built
        const std::wstring name = Wide(fileName_);
        SendMessageW(nameBox, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name.c_str()));
        answered_ = dialog;
        ++fileDialogs;
        // Posted, not sent: the dialog closes from its own loop, after this
        // timer has returned.
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    }

    QString fileName_;
    QTimer timer_;
    QElapsedTimer since_;
    HWND answered_ = nullptr;
};

ConsoleTimings QuickTimings()
{
    ConsoleTimings t;
    t.scanTickMs = 20;
    t.statusPollMs = 100;
    t.learnWatchMs = 50;
    t.portWatchMs = 100;
    return t;
}

} // namespace

class WindowsWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        port_ = qEnvironmentVariable("LUMO_WIN_WINDOW_COM");
        if (port_.isEmpty())
            QFAIL("LUMO_WIN_WINDOW_COM names no COM port: scripts/windows-gui-tests.sh sets it and serves the bus");
        dialogs_.to = &recorded_;
        ConsoleEnvironment env; // the system's port list, adapter walk and clock
        env.dialogs = &dialogs_;
        env.timings = QuickTimings();
        form_ = std::make_unique<TMODBUSSettingForm>(std::move(env));
        systemDialogs_.SetParent(form_.get());
        waitDlg_ = std::make_unique<TWaitDlg>(form_.get());
        form_->SetWaitDialog(waitDlg_.get());
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    }

    void cleanupTestCase()
    {
        waitDlg_.reset();
        form_.reset();
    }

    void theFontIsTheSystemsTahoma()
    {
        QVERIFY2(UiFontFamily() == QStringLiteral("Tahoma"),
                 qPrintable(UiFontFamily() + QStringLiteral(" of ") + QFontDatabase::families().join(QLatin1Char(','))));
        QCOMPARE(W<QPushButton>("ConnectButton")->font().family(), QStringLiteral("Tahoma"));
    }

    void portListIsSerialComm()
    {
        std::vector<std::string> listed;
        QVERIFY(ReadSerialPorts(&listed));
        QVERIFY2(std::find(listed.begin(), listed.end(), port_.toStdString()) != listed.end(),
                 qPrintable(port_ + QStringLiteral(" is not in SERIALCOMM")));
        auto *combo = W<QComboBox>("PortNameComboBox");
        combo->showPopup(); // the drop-down reads the list again
        combo->hidePopup();
        QVERIFY2(ComboItems().contains(port_), qPrintable(ComboItems().join(QLatin1Char(' '))));
        QCOMPARE(ComboItems().size(), static_cast<qsizetype>(listed.size()));
    }

    void autoSelectFindsTheAdapterAndConnects()
    {
        // The bus's port is the only adapter's in the registry: an FTDI one.
        const QString entry = port_ + QStringLiteral(" >>FTSER2K");
        QTest::mouseClick(W<QCheckBox>("autoSelectComPortCheckBox"), Qt::LeftButton);
        auto *combo = W<QComboBox>("PortNameComboBox");
        QVERIFY(!combo->isEnabled());
        QCOMPARE(ComboItems(), QStringList{entry});
        QCOMPARE(combo->currentText(), entry);
        QTest::mouseClick(W<QPushButton>("ConnectButton"), Qt::LeftButton);
        QVERIFY(state().isConnected);
        QCOMPARE(QString::fromStdString(state().portName), port_);
        QCOMPARE(W<QPushButton>("ConnectButton")->text(), QStringLiteral("Disconnect"));

        // Back to the plain list: it shows the open port.
        QTest::mouseClick(W<QCheckBox>("autoSelectComPortCheckBox"), Qt::LeftButton);
        QVERIFY(combo->isEnabled());
        QCOMPARE(combo->currentText(), port_);
        QVERIFY(state().isConnected);
    }

    void scanListsTheDemoBus()
    {
        QVERIFY(state().isConnected);
        QTest::mouseClick(W<QPushButton>("ScanDeviceButton"), Qt::LeftButton);
        QVERIFY(state().isScanning);
        QVERIFY(QTest::qWaitFor([&] { return state().scanId > 9; }, 30000));
        QTest::mouseClick(W<QPushButton>("ScanDeviceButton"), Qt::LeftButton);
        QVERIFY(!state().isScanning);
        QCOMPARE(DeviceRows(), (QStringList{QStringLiteral("1 LUMO-D"), QStringLiteral("5 LUMO-P"),
                                            QStringLiteral("9 LUMO-B")}));

        // What the window shows on the screen: painted, nothing cut off.
        const QImage picture = form_->grab().toImage();
        QCOMPARE(pictures::Blankness(picture), QString());
        QCOMPARE(pictures::Clipped(form_.get()), QStringList());
    }

    void clickedRowShowsDeviceInformation()
    {
        QVERIFY(ClickDeviceRow(QStringLiteral("5")));
        QCOMPARE(state().selectedDeviceId, uint8_t{5});
        QCOMPARE(W<QLineEdit>("DeviceIDEdit")->text(), QStringLiteral("5"));
        QCOMPARE(W<QLineEdit>("MotorIDEdit")->text(), QStringLiteral("5A05"));
        QCOMPARE(W<QLineEdit>("FwVerMajorEdit")->text(), QStringLiteral("01"));
        QCOMPARE(W<QLineEdit>("FwVerMinorEdit")->text(), QStringLiteral("02"));
    }

    void configurationReadAndWrite()
    {
        QCOMPARE(state().selectedDeviceId, uint8_t{5});
        W<QTabWidget>("PageControl1")->setCurrentWidget(W<QWidget>("SettingPage"));
        recorded_.shown.clear();
        QTest::mouseClick(W<QPushButton>("LoadConfigButton"), Qt::LeftButton);
        QCOMPARE(recorded_.shown, QStringList{QStringLiteral("info: Get device config successfully !")});
        QCOMPARE(W<QLineEdit>("StrokeEdit")->text(), QStringLiteral("1000"));

        Type(W<QLineEdit>("StrokeEdit"), QStringLiteral("1200"));
        QTest::mouseClick(W<QPushButton>("UpdateConfigButton"), Qt::LeftButton);
        Type(W<QLineEdit>("StrokeEdit"), QStringLiteral("800"));
        QTest::mouseClick(W<QPushButton>("LoadConfigButton"), Qt::LeftButton);
        QCOMPARE(recorded_.shown, (QStringList{QStringLiteral("info: Get device config successfully !"),
                                             QStringLiteral("info: Update device config successfully !"),
                                             QStringLiteral("info: Get device config successfully !")}));
        QCOMPARE(W<QLineEdit>("StrokeEdit")->text(), QStringLiteral("1200"));
    }

    void learningShowsTheWaitDialog()
    {
        QCOMPARE(state().selectedDeviceId, uint8_t{5});
        QVERIFY(!waitDlg_->isVisible());
        QTest::mouseClick(W<QPushButton>("LearnButton"), Qt::LeftButton);
        QVERIFY(waitDlg_->isVisible());
        QCOMPARE(waitDlg_->findChild<QLabel *>(QStringLiteral("Label1"))->text(),
                 QStringLiteral("Motor learning , please wait..."));
        // Centred on the main window, which stays usable beside it.
        const QPoint offset = waitDlg_->frameGeometry().center() - form_->frameGeometry().center();
        QVERIFY2(offset.manhattanLength() <= 2, qPrintable(QStringLiteral("%1, %2").arg(offset.x()).arg(offset.y())));
        QVERIFY(!waitDlg_->isModal());
        QVERIFY(QTest::qWaitFor([&] { return !waitDlg_->isVisible(); }, 20000));
        QCOMPARE(Find<TStatusBar>(form_.get(), "OptionStatusBar")->PanelText(1), QStringLiteral("Motor Learn end"));
        // What the actuator found is read back onto the page.
        QCOMPARE(W<QLineEdit>("StrokeEdit")->text(), QStringLiteral("980"));
    }

    void motionWithTheStatusPoll()
    {
        W<QTabWidget>("PageControl1")->setCurrentWidget(W<QWidget>("OptionPage"));
        auto *list = W<QListWidget>("MODBusDevicesListBox");
        const QList<QListWidgetItem *> items = list->findItems(QStringLiteral("1"), Qt::MatchExactly);
        QCOMPARE(items.size(), 1);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(items.first()).center());
        QVERIFY(QTest::qWaitFor([&] { return state().controlDeviceId == 1; }, 5000));

        QTest::mouseClick(W<QPushButton>("motorUpButton"), Qt::LeftButton);
        auto *glyph = W<QLabel>("MotorStatusLabel");
        auto *position = W<QLineEdit>("motorPositionEdit");
        QVERIFY2(QTest::qWaitFor([&] { return glyph->text() == QStringLiteral("\u25B2") && position->text().toInt() > 500; },
                                 5000),
                 qPrintable(QStringLiteral("\"%1\" at %2").arg(glyph->text(), position->text())));
        QTest::mouseClick(W<QPushButton>("motorStopButton"), Qt::LeftButton);
        QVERIFY2(QTest::qWaitFor([&] { return glyph->text() == QStringLiteral("\u25A0"); }, 5000),
                 qPrintable(glyph->text()));
    }

    void exportAndImportThroughTheSystemDialogs()
    {
        W<QTabWidget>("PageControl1")->setCurrentWidget(W<QWidget>("SettingPage"));
        QCOMPARE(W<QLineEdit>("StrokeEdit")->text(), QStringLiteral("980"));
        QVERIFY(W<QPushButton>("ExportConfigButton")->isEnabled());
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString file = folder.filePath(QStringLiteral("exported.config"));
        dialogs_.to = &systemDialogs_;
        {
            Operator op(file);
            QTest::mouseClick(W<QPushButton>("ExportConfigButton"), Qt::LeftButton);
            QCOMPARE(op.fileDialogs, 1);
            QCOMPARE(op.cancelled, 0);
            QCOMPARE(op.messages, QStringList{QStringLiteral("Export device config successfully !")});
        }
        QCOMPARE(QFileInfo(file).size(), qint64{ConfigFileSize});

        // Imported over a changed page, the file brings the stroke back.
        Type(W<QLineEdit>("StrokeEdit"), QStringLiteral("700"));
        {
            Operator op(file);
            QTest::mouseClick(W<QPushButton>("ImportConfigButton"), Qt::LeftButton);
            QCOMPARE(op.fileDialogs, 1);
            QCOMPARE(op.cancelled, 0);
            QCOMPARE(op.messages, QStringList{QStringLiteral("Configuration data imported successfully !")});
        }
        dialogs_.to = &recorded_;
        QCOMPARE(W<QLineEdit>("StrokeEdit")->text(), QStringLiteral("980"));
    }

    void workflowsAreRecordedInTheServiceRecords()
    {
        // The test's records file (a temporary one, see TempRecords.h), read
        // back through SQLite as built for Windows.
        const std::string path = qEnvironmentVariable("LUMO_RECORDS").toStdString();
        QVERIFY(!path.empty());
        QString portSeen = port_;
        const auto kindsOnRecord = [&] {
            records::RecordStore store(path, records::Access::Read);
            records::HistoryQuery query;
            query.motorId = 0x5A05;
            QStringList kinds;
            for (const records::Event &event : store.History(query)) {
                const QString kind = QString::fromLatin1(records::KindName(event.kind));
                if (!kinds.contains(kind))
                    kinds << kind;
                if (QString::fromStdString(event.origin.port) != port_)
                    portSeen = QString::fromStdString(event.origin.port);
            }
            kinds.sort();
            return kinds;
        };
        // The window writes its events on a thread of its own: the last
        // workflow's may still be on its way.
        QTRY_COMPARE(kindsOnRecord(), (QStringList{QStringLiteral("config-export"), QStringLiteral("config-import"),
                                     QStringLiteral("config-read"), QStringLiteral("config-write"),
                                     QStringLiteral("device-seen"), QStringLiteral("learning")}));
        QCOMPARE(portSeen, port_);
    }

    void deviceChangeMessagesReachThePortWatcher()
    {
        // The poll is stopped: whatever changes now comes from the messages.
        auto *poll = form_->findChild<QTimer *>(QStringLiteral("portWatchTimer"));
        QVERIFY(poll);
        poll->stop();
        QVERIFY(state().isConnected);

        const QString arriving = QStringLiteral("COM77");
        SerialCommChange added(L"\\Device\\LumoArrival", arriving, true);
        QVERIFY(added.done());
        SendDeviceChange(*form_, DBT_DEVICEARRIVAL, arriving);
        QVERIFY2(ComboItems().contains(arriving), qPrintable(ComboItems().join(QLatin1Char(' '))));
        QVERIFY(state().isConnected);

        // Removal names the port: the open one closes at once, even though
        // the registry's list still holds it.
        SendDeviceChange(*form_, DBT_DEVICEREMOVECOMPLETE, port_);
        QVERIFY(!state().isConnected);
        QCOMPARE(W<QPushButton>("ConnectButton")->text(), QStringLiteral("Connect"));
        QCOMPARE(W<QComboBox>("PortNameComboBox")->currentText(), QStringLiteral("Com Port"));
        poll->start();
    }

    void registryListChangesReachThePortWatcher()
    {
        auto *poll = form_->findChild<QTimer *>(QStringLiteral("portWatchTimer"));
        QVERIFY(poll);
        poll->start(); // also when the test before stopped it and failed
        auto *combo = W<QComboBox>("PortNameComboBox");
        combo->lineEdit()->selectAll();
        QTest::keyClicks(combo->lineEdit(), port_);
        QTest::mouseClick(W<QPushButton>("ConnectButton"), Qt::LeftButton);
        QVERIFY(state().isConnected);

        // Windows drops an unplugged adapter's port from SERIALCOMM; the
        // poll notices without any message.
        const std::wstring value = SerialCommValueOf(port_);
        QVERIFY(!value.empty());
        {
            SerialCommChange gone(value, port_, false);
            QVERIFY(gone.done());
            QVERIFY(QTest::qWaitFor([&] { return !state().isConnected; }, 5000));
            QVERIFY(!ComboItems().contains(port_));
        }
        // Plugged in again: listed again.
        QVERIFY(QTest::qWaitFor([&] { return ComboItems().contains(port_); }, 5000));
    }

private:
    template <class T> T *W(const char *name) const { return Find<T>(form_.get(), name); }
    const ConsoleState &state() const { return form_->consoleState(); }

    QStringList ComboItems() const
    {
        auto *combo = W<QComboBox>("PortNameComboBox");
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items << combo->itemText(i);
        return items;
    }

    QStringList DeviceRows() const
    {
        auto *view = W<QTableWidget>("BusDevicesListView");
        QStringList rows;
        for (int r = 0; r < view->rowCount(); ++r)
            rows << view->item(r, 0)->text() + QLatin1Char(' ') + view->item(r, 1)->text();
        return rows;
    }

    bool ClickDeviceRow(const QString &caption)
    {
        W<QTabWidget>("PageControl1")->setCurrentWidget(W<QWidget>("DevicePage"));
        auto *view = W<QTableWidget>("BusDevicesListView");
        for (int r = 0; r < view->rowCount(); ++r) {
            if (view->item(r, 0)->text() != caption)
                continue;
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualItemRect(view->item(r, 0)).center());
            return true;
        }
        return false;
    }

    // Replaces the edit's text key by key, as the operator types.
    static void Type(QLineEdit *edit, const QString &text)
    {
        edit->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, text);
    }

    QString port_;
    RecordedDialogs recorded_;
    QtUserDialogs systemDialogs_;
    SwitchableDialogs dialogs_;
    std::unique_ptr<TMODBUSSettingForm> form_;
    std::unique_ptr<TWaitDlg> waitDlg_;
};

int main(int argc, char **argv)
{
    return RunTestClasses(argc, argv, {{"WindowsWindowTest", [] { return std::make_unique<WindowsWindowTest>(); }}});
}

#include "test_win_window.moc"
