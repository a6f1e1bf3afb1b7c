// Giving an actuator a new bus address from the Bus Devices page, against the
// virtual bus: the check of the typed address and "Renew ID".

#include <QPalette>
#include <QTableWidget>

#include "BusWindow.h"
#include "app/LumoApplication.h"
#include "modbus/Registers.h"
#include "modbus/ResultCode.h"

namespace {

const QString kSuccess = QStringLiteral("info: Update device ID (Address) successfully !");

bool ShownRed(QLineEdit *edit)
{
    return edit->palette().color(QPalette::Text) == QColor(Qt::red);
}

// Devices 5 (LUMO-B) and 12 (LUMO-P) on the bus and in both lists; device 5
// selected on the Bus Devices page, device 12 on the Control page.
struct TwoDevices {
    explicit TwoDevices(lumosim::Faults faultsOf5 = {})
        : w({[&] {
                 auto d = Device(5, Model::LumoB);
                 d.faults = faultsOf5;
                 return d;
             }(),
             Device(12, Model::LumoP)})
    {
        ListDevice(w, 5, QStringLiteral("LUMO-B"));
        ListDevice(w, 12, QStringLiteral("LUMO-P"));
    }
    void SelectFirstRow()
    {
        ClickListRow(w, 0);
        if (w.state().selectedDeviceId != 5)
            qFatal("a click on the row of device 5 did not select it");
    }
    QLineEdit *edit() { return w.find<QLineEdit>("NewDeviceIDEdit"); }
    QPushButton *renew() { return w.find<QPushButton>("modifyDeviceIDButton"); }
    QString caption(int row) { return w.find<QTableWidget>("BusDevicesListView")->item(row, 0)->text(); }
    QString model(int row) { return w.find<QTableWidget>("BusDevicesListView")->item(row, 1)->text(); }

    BusWindow w;
};

} // namespace

class AddressChangeTest : public QObject {
    Q_OBJECT
private slots:
    void typedAddress_data();
    void typedAddress();
    void changeRenamesDevice();
    void changeThatFails_data();
    void changeThatFails();
    void renewAsksTheNewAddressFirst_data();
    void renewAsksTheNewAddressFirst();
};

void AddressChangeTest::typedAddress_data()
{
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("accepted"); // newDeviceId afterwards
    QTest::addColumn<bool>("red");
    QTest::newRow("empty") << true << "" << 0 << false;
    QTest::newRow("0") << true << "0" << 0 << true;
    QTest::newRow("128") << true << "128" << 0 << true;
    QTest::newRow("999") << true << "999" << 0 << true;
    QTest::newRow("1") << true << "1" << 1 << false;
    QTest::newRow("127") << true << "127" << 127 << false;
    QTest::newRow("007 is 7") << true << "007" << 7 << false;
    QTest::newRow("own address") << true << "5" << 0 << false;
    QTest::newRow("own address with zeros") << true << "005" << 0 << false;
    QTest::newRow("another listed device") << true << "12" << 0 << true;
    QTest::newRow("0 with nothing selected") << false << "0" << 0 << false;
    QTest::newRow("free address, nothing selected") << false << "9" << 9 << false;
}

void AddressChangeTest::typedAddress()
{
    QFETCH(bool, selected);
    QFETCH(QString, text);
    QFETCH(int, accepted);
    QFETCH(bool, red);
    TwoDevices bus;
    if (selected) {
        bus.SelectFirstRow();
        // The click copies the address into the edit: normal, nothing to apply.
        QCOMPARE(bus.edit()->text(), QStringLiteral("5"));
        QVERIFY(!ShownRed(bus.edit()));
        QVERIFY(!bus.renew()->isEnabled());
    }
    bus.w.bus.ClearFrameLog();
    // A red mark left by an earlier text must go when the text is fine.
    TypeInto(bus.edit(), QStringLiteral("128"));
    QVERIFY(ShownRed(bus.edit()));

    TypeInto(bus.edit(), text);
    QCOMPARE(bus.edit()->text(), text);
    QCOMPARE(int{bus.w.state().newDeviceId}, accepted);
    QCOMPARE(ShownRed(bus.edit()), red);
    // Without a selected device there is nothing to renumber.
    QCOMPARE(bus.renew()->isEnabled(), selected && accepted != 0);
    QVERIFY(Requests(bus.w.bus).empty()); // checking a text never reaches the bus
}

void AddressChangeTest::changeRenamesDevice()
{
    TwoDevices bus;
    BusWindow &w = bus.w;
    ClickControlListRow(w, 1);
    QCOMPARE(int{w.state().controlDeviceId}, 12);
    bus.SelectFirstRow();
    TypeInto(bus.edit(), QStringLiteral("9"));
    QVERIFY(bus.renew()->isEnabled());
    w.bus.ClearFrameLog();

    QTest::mouseClick(bus.renew(), Qt::LeftButton);

    QCOMPARE(w.dialogs.shown, QStringList{kSuccess});
    QCOMPARE(PanelText(w.form.get(), 2), QStringLiteral("No Error"));
    // The new address asked once and found silent, the address register
    // written once at the old address, then the device found at the new one.
    const auto requests = Requests(w.bus);
    QVERIFY(requests.size() == 3);
    QCOMPARE(HexWithoutCrc(requests[0]), QByteArray("09 04 00 3f 00 02"));
    QCOMPARE(HexWithoutCrc(requests[1]), QByteArray("05 06 00 0f 00 09"));
    QCOMPARE(HexWithoutCrc(requests[2]), QByteArray("09 04 00 3f 00 02"));
    QVERIFY(w.bus.HasDevice(9));
    QVERIFY(!w.bus.HasDevice(5));
    QCOMPARE(w.bus.Input(9, Reg::Model), uint16_t{Model::LumoB});

    QCOMPARE(bus.caption(0), QStringLiteral("9"));
    QCOMPARE(bus.model(0), QStringLiteral("LUMO-B"));
    QCOMPARE(bus.caption(1), QStringLiteral("12"));
    QCOMPARE(w.find<QLineEdit>("DeviceIDEdit")->text(), QStringLiteral("9"));
    QCOMPARE(int{w.state().selectedDeviceId}, 9);
    QCOMPARE(int{w.state().newDeviceId}, 0);
    QVERIFY(!bus.renew()->isEnabled());
    QCOMPARE(bus.edit()->text(), QStringLiteral("9"));
    // The Control page lists every device again, with none of them chosen.
    QCOMPARE(ControlListItems(w), (QStringList{"9", "12"}));
    QVERIFY(w.find<QListWidget>("MODBusDevicesListBox")->selectedItems().isEmpty());
    QCOMPARE(int{w.state().controlDeviceId}, 0);
    QCOMPARE(w.state().controlModel, Model::None);

    // The edit now compares against the new address: the old one is free.
    TypeInto(bus.edit(), QStringLiteral("9"));
    QCOMPARE(int{w.state().newDeviceId}, 0);
    QVERIFY(!ShownRed(bus.edit()));
    TypeInto(bus.edit(), QStringLiteral("5"));
    QCOMPARE(int{w.state().newDeviceId}, 5);
    TypeInto(bus.edit(), QStringLiteral("12"));
    QVERIFY(ShownRed(bus.edit()));
    QCOMPARE(w.dialogs.shown.size(), 1);
}

void AddressChangeTest::changeThatFails_data()
{
    // The device refuses requests touching this register with an exception.
    QTest::addColumn<int>("refusedRegister");
    QTest::addColumn<int>("addressAfter"); // where the device answers afterwards
    QTest::addColumn<int>("verifications");
    QTest::newRow("write refused: no retry") << int{Reg::Address} << 5 << 0;
    // "CMD try" at 5 gives the verification five attempts.
    QTest::newRow("no answer at the new address") << int{Reg::MotorStatus} << 9 << 5;
}

void AddressChangeTest::changeThatFails()
{
    QFETCH(int, refusedRegister);
    QFETCH(int, addressAfter);
    QFETCH(int, verifications);
    lumosim::Faults faults;
    faults.exceptionRegister = static_cast<uint16_t>(refusedRegister);
    TwoDevices bus(faults);
    BusWindow &w = bus.w;
    ShowDebugPage(w);
    StepSpinner(w, "CMDTryCountUpDown", true, 2);
    QCOMPARE(w.state().cmdTryCount, 5);
    bus.SelectFirstRow();
    TypeInto(bus.edit(), QStringLiteral("9"));
    w.bus.ClearFrameLog();

    QTest::mouseClick(bus.renew(), Qt::LeftButton);

    QCOMPARE(w.dialogs.shown, QStringList());
    QCOMPARE(w.state().lastResult, uint32_t{Result::ExceptionReply});
    QCOMPARE(PanelText(w.form.get(), 2), QStringLiteral("unknow Error"));
    // The probe of the free address 9, the write, the verifications.
    const auto requests = Requests(w.bus);
    QVERIFY(requests.size() == 2u + verifications);
    QCOMPARE(HexWithoutCrc(requests[0]), QByteArray("09 04 00 3f 00 02"));
    QCOMPARE(HexWithoutCrc(requests[1]), QByteArray("05 06 00 0f 00 09"));
    for (int i = 2; i < 2 + verifications; ++i)
        QCOMPARE(HexWithoutCrc(requests[i]), QByteArray("09 04 00 3f 00 02"));
    QVERIFY(w.bus.HasDevice(static_cast<uint8_t>(addressAfter)));

    // The lists and the selection still show the old address; a new scan
    // shows where the device answers.
    QCOMPARE(bus.caption(0), QStringLiteral("5"));
    QCOMPARE(bus.caption(1), QStringLiteral("12"));
    QCOMPARE(w.find<QLineEdit>("DeviceIDEdit")->text(), QStringLiteral("5"));
    QCOMPARE(ControlListItems(w), (QStringList{"5", "12"}));
    QCOMPARE(int{w.state().selectedDeviceId}, 5);
    QCOMPARE(int{w.state().newDeviceId}, 9);
    QVERIFY(bus.renew()->isEnabled());
}

// An address the last scan did not list may still be taken (a device added
// since, or one the scan missed). Anything heard there in the one probe
// right before the write leaves the device where it is.
void AddressChangeTest::renewAsksTheNewAddressFirst_data()
{
    QTest::addColumn<QString>("atNine"); // what answers at address 9
    QTest::newRow("a reply") << "reply";
    QTest::newRow("an exception") << "exception";
    QTest::newRow("a bad checksum") << "bad crc";
    QTest::newRow("garbage") << "garbage";
}

void AddressChangeTest::renewAsksTheNewAddressFirst()
{
    QFETCH(QString, atNine);
    auto other = Device(9, Model::LumoD);
    if (atNine == "exception")
        other.faults.exceptionRegister = Reg::MotorStatus;
    else if (atNine == "bad crc")
        other.faults.corruptCrcEveryN = 1;
    else if (atNine == "garbage")
        other.faults.garbageReplies = true;
    BusWindow w({Device(5, Model::LumoB), other});
    ListDevice(w, 5, QStringLiteral("LUMO-B")); // 9 is not listed: the scan did not find it
    ClickListRow(w, 0);
    QCOMPARE(int{w.state().selectedDeviceId}, 5);
    auto *edit = w.find<QLineEdit>("NewDeviceIDEdit");
    auto *renew = w.find<QPushButton>("modifyDeviceIDButton");
    TypeInto(edit, QStringLiteral("9"));
    QVERIFY(renew->isEnabled());
    QVERIFY(!ShownRed(edit));
    w.bus.ClearFrameLog();

    QTest::mouseClick(renew, Qt::LeftButton);

    // One probe, no write: the device still answers at 5.
    const auto requests = Requests(w.bus);
    QVERIFY(requests.size() == 1);
    QCOMPARE(HexWithoutCrc(requests[0]), QByteArray("09 04 00 3f 00 02"));
    QVERIFY(w.bus.HasDevice(5));
    QCOMPARE(w.bus.Input(5, Reg::Model), uint16_t{Model::LumoB});
    QCOMPARE(w.dialogs.shown, QStringList());
    // As for a listed address: red, nothing to apply.
    QVERIFY(ShownRed(edit));
    QCOMPARE(int{w.state().newDeviceId}, 0);
    QVERIFY(!renew->isEnabled());
    QCOMPARE(PanelText(w.form.get(), 1), QStringLiteral("Something answers at ID 9 already"));
    QCOMPARE(w.find<QTableWidget>("BusDevicesListView")->item(0, 0)->text(), QStringLiteral("5"));
    QCOMPARE(int{w.state().selectedDeviceId}, 5);
}

int main(int argc, char **argv)
{
    LumoApplication app(argc, argv);
    AddressChangeTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_address_change.moc"
