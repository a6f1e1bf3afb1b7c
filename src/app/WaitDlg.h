#pragma once
// The wait dialog: a small modeless window that asks the operator to wait
// while a long operation runs. It cannot be closed by the operator.

#include <QDialog>

#include "console/WaitDialog.h"

class QFrame;
class QLabel;

class TWaitDlg : public QDialog, public WaitDialog {
    Q_OBJECT
public:
    explicit TWaitDlg(QWidget *parent = nullptr);

    void SetMessage(const QString &text) override;
    void ShowCentredOn(QWidget *owner) override;
    void HideDialog() override;

    static constexpr int ClientWidth = 313;
    static constexpr int ClientHeight = 137;

public slots:
    // Escape and the window manager's close do nothing: only the workflow
    // that showed the dialog hides it.
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QFrame *Bevel1;
    QLabel *Label1;
};
