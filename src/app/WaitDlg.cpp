#include "app/WaitDlg.h"

#include <QCloseEvent>
#include <QFrame>
#include <QLabel>

#include "console/Fonts.h"

TWaitDlg::TWaitDlg(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), Bevel1(new QFrame(this)),
      Label1(new QLabel(this))
{
    setObjectName(QStringLiteral("WaitDlg"));
    setWindowTitle(QStringLiteral("Wait"));
    setModal(false);
    setFont(UiFont(13));
    setFixedSize(ClientWidth, ClientHeight);

    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Bevel1->setGeometry(8, 8, 297, 121);

    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(UiFont(19));
    Label1->setAlignment(Qt::AlignCenter);
    // Centred on the same axis as a label at x 29, but spanning the frame's
    // inside so that longer messages are not clipped.
    Label1->setGeometry(10, 51, 293, 28);
    Label1->setText(QStringLiteral("initialize , please wait..."));
}

void TWaitDlg::SetMessage(const QString &text)
{
    Label1->setText(text);
}

void TWaitDlg::ShowCentredOn(QWidget *owner)
{
    auto centre = [this, owner] {
        const QRect frame = frameGeometry();
        const QPoint middle = owner->frameGeometry().center();
        move(middle.x() - frame.width() / 2, middle.y() - frame.height() / 2);
    };
    if (owner)
        centre();
    show();
    // The frame's size is known only once the window exists.
    if (owner)
        centre();
    raise();
}

void TWaitDlg::HideDialog()
{
    hide();
}

void TWaitDlg::reject()
{
}

void TWaitDlg::closeEvent(QCloseEvent *event)
{
    event->ignore();
}
