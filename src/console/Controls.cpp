#include "console/Controls.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QRadioButton>
#include <QToolButton>
#include <algorithm>

TStatusBar::TStatusBar(const QVector<int> &panelWidths, QWidget *parent) : QWidget(parent)
{
    int x = 0;
    for (int width : panelWidths) {
        auto *panel = new QLabel(this);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setGeometry(x, 2, width - 2, 0);
        panel->setIndent(3);
        panel->installEventFilter(this);
        panels_.append(panel);
        contents_.append(Panel{});
        x += width;
    }
}

void TStatusBar::resizeEvent(QResizeEvent *)
{
    for (QLabel *panel : panels_) {
        // The last panel runs on to the end of the bar, as a platform status
        // bar draws it, so a result text longer than its nominal width
        // stays readable beside whatever covers the bar's right end.
        const int width = panel == panels_.last() ? this->width() - panel->x() : panel->width();
        panel->setGeometry(panel->x(), 2, width, height() - 3);
    }
}

void TStatusBar::SetPanelText(int panel, const QString &text)
{
    if (panel < 0 || panel >= panels_.size())
        return;
    contents_[panel].text = text;
    ShowPanel(panel);
}

QString TStatusBar::PanelText(int panel) const
{
    if (panel < 0 || panel >= panels_.size())
        return {};
    return contents_[panel].text;
}

void TStatusBar::SetPanelToolTip(int panel, const QString &text)
{
    if (panel < 0 || panel >= panels_.size())
        return;
    contents_[panel].toolTip = text;
    ShowPanel(panel);
}

void TStatusBar::SetPanelMark(int panel, const QString &mark, const QString &toolTip)
{
    if (panel < 0 || panel >= panels_.size())
        return;
    contents_[panel].mark = mark;
    contents_[panel].markToolTip = mark.isEmpty() ? QString() : toolTip;
    ShowPanel(panel);
}

QString TStatusBar::PanelMark(int panel) const
{
    return panel >= 0 && panel < panels_.size() ? contents_[panel].mark : QString();
}

QString TStatusBar::PanelToolTip(int panel) const
{
    return panel >= 0 && panel < panels_.size() ? panels_[panel]->toolTip() : QString();
}

void TStatusBar::ShowPanel(int panel)
{
    const Panel &p = contents_[panel];
    panels_[panel]->setText(p.mark.isEmpty() ? p.text : p.mark + QLatin1Char(' ') + p.text);
    panels_[panel]->setToolTip(p.mark.isEmpty() ? p.toolTip : p.markToolTip);
}

bool TStatusBar::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonDblClick &&
        static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        const int panel = static_cast<int>(panels_.indexOf(qobject_cast<QLabel *>(watched)));
        if (panel >= 0)
            emit PanelDoubleClicked(panel);
    }
    if (event->type() == QEvent::ContextMenu) {
        const int panel = static_cast<int>(panels_.indexOf(qobject_cast<QLabel *>(watched)));
        if (panel >= 0) {
            emit PanelContextMenu(panel, static_cast<QContextMenuEvent *>(event)->globalPos());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

TRadioGroup::TRadioGroup(const QString &title, const QStringList &items, int columns, QWidget *parent)
    : QGroupBox(title, parent), group_(new QButtonGroup(this))
{
    auto *layout = new QGridLayout(this);
    layout->setContentsMargins(8, 2, 8, 4);
    layout->setVerticalSpacing(2);
    columns = std::max(1, columns);
    for (int i = 0; i < items.size(); ++i) {
        auto *button = new QRadioButton(items[i], this);
        group_->addButton(button, i);
        layout->addWidget(button, i / columns, i % columns);
    }
    connect(group_, &QButtonGroup::idToggled, this, &TRadioGroup::OnButtonToggled);
}

int TRadioGroup::Count() const
{
    return static_cast<int>(group_->buttons().size());
}

void TRadioGroup::SetItemIndex(int index)
{
    if (index < 0 || index >= Count())
        index = -1;
    if (index == index_)
        return;
    if (index >= 0) {
        group_->button(index)->setChecked(true); // OnButtonToggled reports it
        return;
    }
    // An exclusive group refuses to uncheck its last button.
    group_->setExclusive(false);
    for (QAbstractButton *button : group_->buttons())
        button->setChecked(false);
    group_->setExclusive(true);
    index_ = -1;
    emit Changed();
}

void TRadioGroup::OnButtonToggled(int id, bool checked)
{
    if (!checked || id == index_)
        return;
    index_ = id;
    emit Changed();
}

TUpDown::TUpDown(int min, int max, int increment, int position, QWidget *parent)
    : QWidget(parent), up_(new QToolButton(this)), down_(new QToolButton(this)), min_(min), max_(max),
      increment_(increment), position_(std::clamp(position, min, max))
{
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    up_->setObjectName(QStringLiteral("up"));
    down_->setObjectName(QStringLiteral("down"));
    for (QToolButton *b : {up_, down_}) {
        b->setAutoRepeat(true);
        b->setFocusPolicy(Qt::NoFocus);
    }
    connect(up_, &QToolButton::clicked, this, [this] { Step(+1); });
    connect(down_, &QToolButton::clicked, this, [this] { Step(-1); });
}

void TUpDown::Associate(QLineEdit *edit)
{
    edit_ = edit;
    ShowPosition();
}

void TUpDown::SetPosition(int position)
{
    position_ = std::clamp(position, min_, max_);
    ShowPosition();
}

void TUpDown::Step(int direction)
{
    const int next = std::clamp(position_ + direction * increment_, min_, max_);
    if (next == position_)
        return;
    position_ = next;
    ShowPosition();
    emit Click();
}

void TUpDown::resizeEvent(QResizeEvent *)
{
    const int half = height() / 2;
    up_->setGeometry(0, 0, width(), half);
    down_->setGeometry(0, half, width(), height() - half);
}

void TUpDown::ShowPosition()
{
    if (edit_)
        edit_->setText(QString::number(position_));
}

void TDropDownComboBox::showPopup()
{
    emit DropDown();
    QComboBox::showPopup();
}
