// The application shell: errors escaping a handler, the wait dialog, and
// starting without a display.

#include <QCloseEvent>
#include <QEvent>
#include <QProcess>
#include <QProcessEnvironment>
#include <stdexcept>

#include "GuiSupport.h"
#include "GuiTests.h"
#include "app/LumoApplication.h"
#include "app/WaitDlg.h"

namespace {

// A receiver whose handler fails the way a file handler can.
class Throwing : public QObject {
public:
    enum Kind { StdException, Other, None };
    Kind kind = StdException;
    int handled = 0;
    bool event(QEvent *e) override
    {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        ++handled;
        if (kind == StdException)
            throw std::runtime_error("Cannot open file \"x.config\". No such file or directory");
        if (kind == Other)
            throw 42;
        return true;
    }
};

} // namespace

class ShellTest : public QObject {
    Q_OBJECT
private slots:
    void handlerErrorIsShownAndLoopGoesOn_data();
    void handlerErrorIsShownAndLoopGoesOn();
    void waitDialog();
    void noDisplaySaysHowToRun();
};

void ShellTest::handlerErrorIsShownAndLoopGoesOn_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("shown");
    QTest::newRow("library exception") << int(Throwing::StdException)
                                       << QStringLiteral("error: Cannot open file \"x.config\". No such file or directory");
    QTest::newRow("anything else") << int(Throwing::Other) << QStringLiteral("error: ");
}

void ShellTest::handlerErrorIsShownAndLoopGoesOn()
{
    QFETCH(int, kind);
    QFETCH(QString, shown);
    auto *app = qobject_cast<LumoApplication *>(QCoreApplication::instance());
    QVERIFY(app);
    ScriptedDialogs dialogs;
    app->SetDialogs(&dialogs);
    Throwing receiver;
    receiver.kind = static_cast<Throwing::Kind>(kind);

    // Through the event loop, as an operator's click arrives.
    QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
    QTRY_COMPARE(receiver.handled, 1);
    QCOMPARE(dialogs.shown, QStringList{shown});

    // The loop goes on delivering.
    receiver.kind = Throwing::None;
    QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
    QTRY_COMPARE(receiver.handled, 2);
    QCOMPARE(dialogs.shown.size(), 1);
    app->SetDialogs(nullptr);
}

void ShellTest::waitDialog()
{
    QuietWindow w;
    TMODBUSSettingForm *form = w.form.get();
    form->move(100, 80);
    form->show();
    TWaitDlg dlg(form);
    QVERIFY(dlg.isHidden());
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Wait"));
    QCOMPARE(dlg.size(), QSize(313, 137));
    QVERIFY(!(dlg.windowFlags() & Qt::WindowCloseButtonHint));
    QVERIFY(!(dlg.windowFlags() & Qt::WindowSystemMenuHint));
    auto *label = Find<QLabel>(&dlg, "Label1");
    QCOMPARE(label->text(), QStringLiteral("initialize , please wait..."));
    QCOMPARE(label->font().pixelSize(), 19);

    WaitDialog &wait = dlg;
    wait.SetMessage(QStringLiteral("Motor learning , please wait..."));
    wait.ShowCentredOn(form);
    QVERIFY(dlg.isVisible());
    QVERIFY(!dlg.isModal());
    QCOMPARE(label->text(), QStringLiteral("Motor learning , please wait..."));
    QVERIFY(QFontMetrics(label->font()).horizontalAdvance(label->text()) <= label->width());
    QVERIFY(qAbs(dlg.frameGeometry().center().x() - form->frameGeometry().center().x()) <= 1);
    QVERIFY(qAbs(dlg.frameGeometry().center().y() - form->frameGeometry().center().y()) <= 1);

    // The operator cannot close it; the workflow can.
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QVERIFY(dlg.isVisible());
    QVERIFY(!dlg.close());
    QVERIFY(dlg.isVisible());
    wait.HideDialog();
    QVERIFY(dlg.isHidden());
}

void ShellTest::noDisplaySaysHowToRun()
{
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    tool.setProcessEnvironment(env);
    tool.start(QStringLiteral(LUMO_TOOL_PROGRAM), {});
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 1);
    const QByteArray err = tool.readAllStandardError();
    QVERIFY2(err.contains("no graphical display"), err.constData());
    QVERIFY2(err.contains("xvfb-run -a lumo-tool"), err.constData());
    QVERIFY2(!err.contains("platform plugin"), err.constData());
}

std::unique_ptr<QObject> MakeShellTest()
{
    return std::make_unique<ShellTest>();
}

#include "test_shell.moc"
