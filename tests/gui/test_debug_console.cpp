// The Debug page against the virtual bus: what each function code sets up,
// the requests "Send CMD" puts on the wire, the refusals that send nothing,
// the memo's double-click, "CMD try" and the current chart's empty face.

#include <QCheckBox>
#include <QGroupBox>
#include <QImage>

#include "BusWindow.h"
#include "app/LumoApplication.h"
#include "console/PerformanceGraph.h"
#include "modbus/Registers.h"
#include "modbus/ResultCode.h"

namespace {

enum Item { ReadHolding, ReadInput, WriteSingle, WriteMultiple, UndefinedFunction };

struct DebugPage {
    DebugPage() : w({Device(1), Device(44)}) { ShowDebugPage(w); }

    QComboBox *functions() { return w.find<QComboBox>("FunCodeComboBox"); }
    QComboBox *registers() { return w.find<QComboBox>("RegisterComboBox"); }
    QComboBox *counts() { return w.find<QComboBox>("RegCountsComboBox"); }
    QLineEdit *value(int i) { return w.find<QLineEdit>(QByteArray("RegValue" + QByteArray::number(i) + "Edit")); }
    void Send() { QTest::mouseClick(w.find<QPushButton>("dSendCMDButton"), Qt::LeftButton); }
    // One read over the line, as any scan makes before the Debug page is
    // used: from it the engine knows that the adapter does not echo, so a
    // single-register write needs no confirming read afterwards.
    void KnowTheLine()
    {
        TypeInto(w.find<QLineEdit>("AddressEdit"), QStringLiteral("1"));
        Choose(functions(), ReadHolding);
        Choose(registers(), 0);
        Send();
        if (status() != QStringLiteral("No Error"))
            qFatal("the read that lets the engine know the line failed");
    }
    QString status() { return PanelText(w.form.get(), 2); }

    // Shown / enabled pattern of the six value edits, e.g. "1e 2- 3- ...":
    // digit = shown, 'e' enabled, 'd' disabled, '-' hidden.
    QString valueEdits()
    {
        QStringList parts;
        for (int i = 1; i <= 6; ++i) {
            QLineEdit *edit = value(i);
            parts << QString::number(i) +
                         (edit->isHidden() ? QStringLiteral("-") : edit->isEnabled() ? QStringLiteral("e") : QStringLiteral("d"));
        }
        return parts.join(QLatin1Char(' '));
    }

    BusWindow w;
};

} // namespace

class DebugConsoleTest : public QObject {
    Q_OBJECT
private slots:
    void functionCodeSetsUpPage_data();
    void functionCodeSetsUpPage();
    void countShowsValueEdits_data();
    void countShowsValueEdits();
    void sendRequest_data();
    void sendRequest();
    void firstSingleWriteOnUnknownLineIsConfirmed();
    void refusedWithoutSending_data();
    void refusedWithoutSending();
    void emptyAddressUsesControlPageDevice();
    void memoDoubleClickShowsCycleTest_data();
    void memoDoubleClickShowsCycleTest();
    void cmdTrySpinner();
    void chartShowsEmptyGrid();
};

void DebugConsoleTest::functionCodeSetsUpPage_data()
{
    QTest::addColumn<int>("item");
    QTest::addColumn<int>("functionCode");
    QTest::addColumn<int>("registerItems");
    QTest::addColumn<QString>("firstRegister");
    QTest::addColumn<int>("firstAddress");
    QTest::addColumn<bool>("countEnabled");
    QTest::addColumn<QString>("valueEdits");
    QTest::newRow("READ HOLD REG 0x03") << int{ReadHolding} << 0x03 << 17 << "0x000F : Address" << 0x000F << true
                                        << "1d 2- 3- 4- 5- 6-";
    QTest::newRow("READ INPUT REG 0x04") << int{ReadInput} << 0x04 << 9 << "0x003F : Motor Status" << 0x003F << true
                                         << "1d 2- 3- 4- 5- 6-";
    QTest::newRow("WRITE SINGLE REG 0x06") << int{WriteSingle} << 0x06 << 17 << "0x000F : Address" << 0x000F
                                           << false << "1e 2- 3- 4- 5- 6-";
    QTest::newRow("WRITE MULTI REG 0x10") << int{WriteMultiple} << 0x10 << 17 << "0x000F : Address" << 0x000F
                                          << true << "1e 2- 3- 4- 5- 6-";
    QTest::newRow("0x01 : Undefine Function code") << int{UndefinedFunction} << 0x01 << 17 << "0x000F : Address"
                                                   << 0x000F << true << "1d 2- 3- 4- 5- 6-";
}

void DebugConsoleTest::functionCodeSetsUpPage()
{
    QFETCH(int, item);
    QFETCH(int, functionCode);
    QFETCH(int, registerItems);
    QFETCH(QString, firstRegister);
    QFETCH(int, firstAddress);
    QFETCH(bool, countEnabled);
    QFETCH(QString, valueEdits);
    DebugPage page;
    const ConsoleState &s = page.w.state();
    // Leave a different choice behind first: a choice resets all of it.
    Choose(page.functions(), WriteMultiple);
    Choose(page.registers(), 5);
    Choose(page.counts(), 4);
    for (int i = 1; i <= 4; ++i)
        TypeInto(page.value(i), QString::number(i));

    Choose(page.functions(), item);
    QCOMPARE(int{s.debugFunctionCode}, functionCode);
    QCOMPARE(page.registers()->count(), registerItems);
    QCOMPARE(page.registers()->currentIndex(), 0);
    QCOMPARE(page.registers()->currentText(), firstRegister);
    QCOMPARE(int{s.debugRegister}, firstAddress);
    QCOMPARE(page.counts()->currentText(), QStringLiteral("1"));
    QCOMPARE(int{s.debugRegCount}, 1);
    QCOMPARE(page.counts()->isEnabled(), countEnabled);
    QCOMPARE(page.valueEdits(), valueEdits);
    for (int i = 1; i <= 6; ++i)
        QCOMPARE(page.value(i)->text(), QString());
    QVERIFY(Requests(page.w.bus).empty());

    // Every register item selects its address by position.
    const QList<int> holding = {0x000F, 0x0010, 0x001F, 0x0020, 0x0021, 0x0022, 0x0023, 0x0024, 0x0025,
                                0x0026, 0x0027, 0x0028, 0x0029, 0x002A, 0x002B, 0x002C, 0x2000};
    const QList<int> input = {0x003F, 0x0040, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045, 0x0046, 0x0021};
    const QList<int> &addresses = item == ReadInput ? input : holding;
    for (int i = addresses.size() - 1; i >= 0; --i) {
        Choose(page.registers(), i);
        QCOMPARE(int{s.debugRegister}, addresses[i]);
        QVERIFY(page.registers()->currentText().startsWith(QString::asprintf("0x%04X : ", addresses[i])));
    }
}

void DebugConsoleTest::countShowsValueEdits_data()
{
    QTest::addColumn<int>("item");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("valueEdits");
    QTest::newRow("0x10, 3") << int{WriteMultiple} << 3 << "1e 2e 3e 4- 5- 6-";
    QTest::newRow("0x10, 6") << int{WriteMultiple} << 6 << "1e 2e 3e 4e 5e 6e";
    QTest::newRow("0x10, 0") << int{WriteMultiple} << 0 << "1- 2- 3- 4- 5- 6-";
    QTest::newRow("0x03, 2") << int{ReadHolding} << 2 << "1- 2- 3- 4- 5- 6-";
    QTest::newRow("0x01, 5") << int{UndefinedFunction} << 5 << "1- 2- 3- 4- 5- 6-";
}

void DebugConsoleTest::countShowsValueEdits()
{
    QFETCH(int, item);
    QFETCH(int, count);
    QFETCH(QString, valueEdits);
    DebugPage page;
    Choose(page.functions(), item);
    Choose(page.counts(), count);
    QCOMPARE(page.valueEdits(), valueEdits);
    QCOMPARE(int{page.w.state().debugRegCount}, count);
}

void DebugConsoleTest::sendRequest_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("item");
    QTest::addColumn<int>("registerItem");
    QTest::addColumn<int>("count"); // -1: leave as the function code set it
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QByteArray>("request");  // without the CRC
    QTest::addColumn<QByteArray>("reply");    // how the reply starts
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("device");          // whose holding registers to check, 0: none
    QTest::addColumn<QList<int>>("holding");  // register, value, register, value, ...

    QTest::newRow("multiple write of 3 at Rear Limit")
        << "1" << int{WriteMultiple} << 4 << 3 << QStringList{"10", "20", "30"}
        << QByteArray("01 10 00 21 00 03 06 00 0a 00 14 00 1e") << QByteArray("01 10 00 21 00 03") << "No Error" << 1
        << QList<int>{0x21, 10, 0x22, 20, 0x23, 30};
    QTest::newRow("single write of 70000 sends 4464")
        << "1" << int{WriteSingle} << 7 << -1 << QStringList{"70000"} << QByteArray("01 06 00 24 11 70")
        << QByteArray("01 06 00 24 11 70") << "No Error" << 1 << QList<int>{0x24, 4464};
    QTest::newRow("multiple write wraps each value")
        << "44" << int{WriteMultiple} << 9 << 2 << QStringList{"65536", "65537"}
        << QByteArray("2c 10 00 26 00 02 04 00 00 00 01") << QByteArray("2c 10 00 26 00 02") << "No Error" << 44
        << QList<int>{0x26, 0, 0x27, 1};
    QTest::newRow("address 300 reaches device 44")
        << "300" << int{ReadHolding} << 3 << 2 << QStringList{} << QByteArray("2c 03 00 20 00 02")
        << QByteArray("2c 03 04 03 d4") << "No Error" << 0 << QList<int>{};
    QTest::newRow("ninth input item reads 0x0021")
        << "1" << int{ReadInput} << 8 << -1 << QStringList{} << QByteArray("01 04 00 21 00 01")
        << QByteArray("01 84 02") << "unknow Error" << 0 << QList<int>{};
    QTest::newRow("function 0x01 is refused by the device")
        << "1" << int{UndefinedFunction} << 0 << -1 << QStringList{} << QByteArray("01 01 00 0f 00 01")
        << QByteArray("01 81 01") << "unknow Error" << 0 << QList<int>{};
    QTest::newRow("undefined holding register")
        << "1" << int{ReadHolding} << 16 << -1 << QStringList{} << QByteArray("01 03 20 00 00 01")
        << QByteArray("01 83 02") << "unknow Error" << 0 << QList<int>{};
}

void DebugConsoleTest::sendRequest()
{
    QFETCH(QString, address);
    QFETCH(int, item);
    QFETCH(int, registerItem);
    QFETCH(int, count);
    QFETCH(QStringList, values);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(QString, status);
    QFETCH(int, device);
    QFETCH(QList<int>, holding);
    DebugPage page;
    page.w.bus.SetHolding(44, Reg::MaxPos, 980);
    page.KnowTheLine();

    TypeInto(page.w.find<QLineEdit>("AddressEdit"), address);
    Choose(page.functions(), item);
    Choose(page.registers(), registerItem);
    if (count >= 0)
        Choose(page.counts(), count);
    for (int i = 0; i < values.size(); ++i)
        TypeInto(page.value(i + 1), values[i]);
    page.w.bus.ClearFrameLog();

    page.Send();

    QCOMPARE(page.status(), status);
    const auto log = page.w.bus.FrameLog();
    QVERIFY(log.size() == 2);
    QVERIFY(log[0].fromMaster && !log[1].fromMaster);
    QCOMPARE(HexWithoutCrc(log[0].bytes), request);
    QVERIFY2(HexWithoutCrc(log[1].bytes).startsWith(reply), HexWithoutCrc(log[1].bytes).constData());
    for (int i = 0; i + 1 < holding.size(); i += 2)
        QCOMPARE(int{page.w.bus.Holding(static_cast<uint8_t>(device), static_cast<uint16_t>(holding[i]))},
                 holding[i + 1]);
    // A read's words go nowhere on the page: the memo keeps its text.
    QCOMPARE(MemoLines(page.w), QStringList{"debugMemo"});
}

void DebugConsoleTest::firstSingleWriteOnUnknownLineIsConfirmed()
{
    // A single-register write is answered by a copy of itself, and so is it
    // echoed by a 2-wire adapter: as the first request of a connection, one
    // copy cannot tell a reply from an echo of a silent device's request.
    // One read of the written register settles it, and nothing more.
    DebugPage page;
    TypeInto(page.w.find<QLineEdit>("AddressEdit"), QStringLiteral("1"));
    Choose(page.functions(), WriteSingle);
    Choose(page.registers(), 7);
    TypeInto(page.value(1), QStringLiteral("55"));
    page.w.bus.ClearFrameLog();
    page.Send();
    QCOMPARE(page.status(), QStringLiteral("No Error"));
    const auto log = page.w.bus.FrameLog();
    QCOMPARE(log.size(), size_t{4});
    QCOMPARE(HexWithoutCrc(log[0].bytes), QByteArray("01 06 00 24 00 37"));
    QCOMPARE(HexWithoutCrc(log[2].bytes), QByteArray("01 03 00 24 00 01"));
    QCOMPARE(int{page.w.bus.Holding(1, Reg::SpeedPwm)}, 55);

    // The line is known now: the next write is one frame and its reply.
    page.w.bus.ClearFrameLog();
    page.Send();
    QCOMPARE(page.w.bus.FrameLog().size(), size_t{2});
}

void DebugConsoleTest::refusedWithoutSending_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("item"); // -1: no function code chosen
    QTest::addColumn<int>("count"); // -1: leave it
    QTest::addColumn<QStringList>("values");
    QTest::newRow("before any choice") << "1" << -1 << -1 << QStringList{};
    // No function code chosen yet, so there is none to send.
    QTest::newRow("count chosen before a function code") << "1" << -1 << 2 << QStringList{};
    QTest::newRow("single write, value empty") << "1" << int{WriteSingle} << -1 << QStringList{};
    QTest::newRow("multiple write, count 0") << "1" << int{WriteMultiple} << 0 << QStringList{};
    QTest::newRow("multiple write, third value empty") << "1" << int{WriteMultiple} << 3 << QStringList{"1", "2"};
    QTest::newRow("read from address 0") << "0" << int{ReadHolding} << -1 << QStringList{};
    QTest::newRow("read from address 256") << "256" << int{ReadInput} << -1 << QStringList{};
    QTest::newRow("no address, no Control page device") << "" << int{ReadHolding} << -1 << QStringList{};
}

void DebugConsoleTest::refusedWithoutSending()
{
    QFETCH(QString, address);
    QFETCH(int, item);
    QFETCH(int, count);
    QFETCH(QStringList, values);
    DebugPage page;
    TypeInto(page.w.find<QLineEdit>("AddressEdit"), address);
    if (item >= 0)
        Choose(page.functions(), item);
    if (count >= 0)
        Choose(page.counts(), count);
    for (int i = 0; i < values.size(); ++i)
        TypeInto(page.value(i + 1), values[i]);
    page.w.bus.ClearFrameLog();

    page.Send();

    QCOMPARE(page.w.state().lastResult, uint32_t{Result::ParameterError});
    QCOMPARE(page.status(), QStringLiteral("Parameter Error"));
    QVERIFY(Requests(page.w.bus).empty());
}

void DebugConsoleTest::emptyAddressUsesControlPageDevice()
{
    DebugPage page;
    ListDevice(page.w, 1, QStringLiteral("LUMO-D"));
    ListDevice(page.w, 44, QStringLiteral("LUMO-D"));
    ClickControlListRow(page.w, 1);
    QCOMPARE(int{page.w.state().controlDeviceId}, 44);
    Choose(page.functions(), ReadInput);
    page.w.bus.ClearFrameLog();

    page.Send();

    QCOMPARE(page.status(), QStringLiteral("No Error"));
    const auto requests = Requests(page.w.bus);
    QVERIFY(requests.size() == 1);
    QCOMPARE(HexWithoutCrc(requests[0]), QByteArray("2c 04 00 3f 00 01"));
}

void DebugConsoleTest::memoDoubleClickShowsCycleTest_data()
{
    QTest::addColumn<QString>("emptying"); // how the memo is emptied first
    QTest::addColumn<bool>("shown");
    QTest::newRow("still reads debugMemo") << "none" << false;
    QTest::newRow("Clear") << "button" << true;
    QTest::newRow("text deleted by the operator") << "keys" << true;
    QTest::newRow("one empty line left") << "enter" << false;
}

void DebugConsoleTest::memoDoubleClickShowsCycleTest()
{
    QFETCH(QString, emptying);
    QFETCH(bool, shown);
    DebugPage page;
    auto *memo = page.w.find<QPlainTextEdit>("debugMemo");
    auto *group = page.w.find<QGroupBox>("TestGroupBox");
    if (emptying == QLatin1String("button")) {
        QTest::mouseClick(page.w.find<QPushButton>("dClearButton"), Qt::LeftButton);
    } else if (emptying != QLatin1String("none")) {
        memo->setFocus();
        QTest::keyClick(memo, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(memo, Qt::Key_Delete);
        if (emptying == QLatin1String("enter"))
            QTest::keyClick(memo, Qt::Key_Return);
    }
    QCOMPARE(memo->toPlainText().isEmpty(), shown);

    QTest::mouseDClick(memo->viewport(), Qt::LeftButton);
    QCOMPARE(!group->isHidden(), shown);
    QCOMPARE(group->isEnabled(), shown);
    QCOMPARE(group->isVisible(), shown);

    // Once shown the group stays; another double-click changes nothing.
    QTest::mouseDClick(memo->viewport(), Qt::LeftButton);
    QCOMPARE(!group->isHidden(), shown);
    QCOMPARE(group->isEnabled(), shown);
}

void DebugConsoleTest::cmdTrySpinner()
{
    DebugPage page;
    auto *edit = page.w.find<QLineEdit>("CMDRetryEdit");
    QCOMPARE(page.w.state().cmdTryCount, 3);
    StepSpinner(page.w, "CMDTryCountUpDown", true, 4);
    QCOMPARE(page.w.state().cmdTryCount, 5);
    QCOMPARE(edit->text(), QStringLiteral("5"));
    StepSpinner(page.w, "CMDTryCountUpDown", false, 6);
    QCOMPARE(page.w.state().cmdTryCount, 1);
    QCOMPARE(edit->text(), QStringLiteral("1"));
}

void DebugConsoleTest::chartShowsEmptyGrid()
{
    DebugPage page;
    auto *chart = page.w.find<TPerformanceGraph>("MotorCurrentPerformanceGraph");
    QCOMPARE(chart->geometry(), QRect(568, 266, 171, 105));
    const QImage before = chart->grab().toImage();
    auto isGrid = [](QRgb c) { return qRed(c) == 0 && qBlue(c) == 0 && qGreen(c) > 64; };
    auto isBlack = [](QRgb c) { return qRed(c) == 0 && qGreen(c) == 0 && qBlue(c) == 0; };
    for (int y = 0; y < before.height(); ++y) {
        for (int x = 0; x < before.width(); ++x) {
            const bool onGrid = (x > 0 && x % 15 == 0) || (y > 0 && y % 15 == 0);
            const QRgb c = before.pixel(x, y);
            QVERIFY2(onGrid ? isGrid(c) : isBlack(c), qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));
        }
    }

    // Nothing on the bus feeds it.
    Choose(page.functions(), ReadInput);
    Choose(page.registers(), 2);
    TypeInto(page.w.find<QLineEdit>("AddressEdit"), QStringLiteral("1"));
    page.Send();
    QCOMPARE(page.status(), QStringLiteral("No Error"));
    QCOMPARE(chart->grab().toImage(), before);
}

int main(int argc, char **argv)
{
    LumoApplication app(argc, argv);
    DebugConsoleTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_debug_console.moc"
