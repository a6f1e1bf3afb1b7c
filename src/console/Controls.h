#pragma once
// Small controls the window needs that Qt does not have in this form: a status
// bar of fixed-width panels, a radio group with an item index, an up-down
// spinner bound to an edit, and a combo box that reports its drop-down.

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QStringList>
#include <QVector>
#include <QWidget>

class QButtonGroup;
class QLabel;
class QToolButton;

// Panels of fixed widths from the left; the last one also takes the rest of
// the bar.
class TStatusBar : public QWidget {
    Q_OBJECT
public:
    TStatusBar(const QVector<int> &panelWidths, QWidget *parent = nullptr);

    int PanelCount() const { return static_cast<int>(panels_.size()); }
    void SetPanelText(int panel, const QString &text);
    // Empty for a panel that does not exist.
    QString PanelText(int panel) const;
    void SetPanelToolTip(int panel, const QString &text);
    // A mark shown before a panel's text whatever text it gets later, with
    // `toolTip` as the panel's tooltip while it is there; an empty mark
    // takes it away and gives the panel its own tooltip back.
    void SetPanelMark(int panel, const QString &mark, const QString &toolTip);
    QString PanelMark(int panel) const;
    QString PanelToolTip(int panel) const;

signals:
    void PanelDoubleClicked(int panel);
    // A right-click (or the menu key) on a panel, at `globalPos`.
    void PanelContextMenu(int panel, const QPoint &globalPos);

protected:
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void ShowPanel(int panel);

    struct Panel {
        QString text;
        QString toolTip;
        QString mark;
        QString markToolTip;
    };
    QVector<QLabel *> panels_;
    QVector<Panel> contents_;
};

// A titled group of radio buttons laid out in columns, row by row. Starts
// with no choice (index -1). Changed() follows every change of the index,
// whether the operator clicked or the program set it.
class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    TRadioGroup(const QString &title, const QStringList &items, int columns, QWidget *parent = nullptr);

    int ItemIndex() const { return index_; }
    // -1 (or any index outside the items) clears the choice.
    void SetItemIndex(int index);
    int Count() const;

signals:
    void Changed();

private:
    void OnButtonToggled(int id, bool checked);

    QButtonGroup *group_;
    int index_ = -1;
};

// Two arrow buttons that step a position between Min and Max and show it in
// the bound edit. Click() follows a step made by the operator only.
class TUpDown : public QWidget {
    Q_OBJECT
public:
    TUpDown(int min, int max, int increment, int position, QWidget *parent = nullptr);

    void Associate(QLineEdit *edit);
    int Position() const { return position_; }
    // Clamped to Min..Max; updates the edit; no Click().
    void SetPosition(int position);
    int Min() const { return min_; }
    int Max() const { return max_; }
    int Increment() const { return increment_; }

signals:
    void Click();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void Step(int direction);
    void ShowPosition();

    QToolButton *up_;
    QToolButton *down_;
    QLineEdit *edit_ = nullptr;
    int min_;
    int max_;
    int increment_;
    int position_;
};

// A combo box that announces the opening of its list before it opens.
class TDropDownComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    void showPopup() override;

signals:
    void DropDown();
};
