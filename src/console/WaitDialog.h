#pragma once
// What the console needs of the wait dialog: a message, shown without
// blocking the main window, and hidden again.

#include <QString>

class QWidget;

class WaitDialog {
public:
    virtual ~WaitDialog() = default;
    virtual void SetMessage(const QString &text) = 0;
    // Modeless, centred on `owner`; the main window stays usable.
    virtual void ShowCentredOn(QWidget *owner) = 0;
    virtual void HideDialog() = 0;
};
