#pragma once
// The one way the console talks to the operator in a modal box: message
// boxes and file dialogs. Production uses QtUserDialogs; tests put a scripted
// implementation in its place and answer without a person.

#include <QString>
#include <optional>

class QWidget;

// Caption of the window and of the information box.
inline constexpr const char *kApplicationTitle = "Quorix LUMO PC tool v0.4.9";

class UserDialogs {
public:
    virtual ~UserDialogs() = default;
    // A box with one OK button.
    virtual void Information(const QString &text) = 0;
    virtual void Error(const QString &text) = 0;
    // The chosen path, or nothing when the operator cancels. `defaultExt`
    // (without the dot) is appended to a name typed without an extension.
    virtual std::optional<QString> SaveFileName(const QString &caption, const QString &filter,
                                                const QString &initialName, const QString &defaultExt) = 0;
    virtual std::optional<QString> OpenFileName(const QString &caption, const QString &filter) = 0;
    // Asked before an existing file is replaced; true to replace it.
    virtual bool ConfirmOverwrite(const QString &path) = 0;
    // Asked on connecting to a port that vanished while actuators it had
    // set moving were still listed; true to send them a stop now. Without
    // a way to ask, the stop goes out: stopping a standing actuator moves
    // nothing.
    virtual bool OfferStop(const QString &text)
    {
        (void)text;
        return true;
    }
    // Asked before the bus is written with what `text` lists; true only on
    // the operator's yes. Without a way to ask, nothing is written.
    virtual bool ConfirmWrite(const QString &text)
    {
        (void)text;
        return false;
    }
};

class QtUserDialogs final : public UserDialogs {
public:
    // Boxes are centred on `parent` when given (it may be set later).
    explicit QtUserDialogs(QWidget *parent = nullptr) : parent_(parent) {}
    void SetParent(QWidget *parent) { parent_ = parent; }

    void Information(const QString &text) override;
    void Error(const QString &text) override;
    std::optional<QString> SaveFileName(const QString &caption, const QString &filter, const QString &initialName,
                                        const QString &defaultExt) override;
    std::optional<QString> OpenFileName(const QString &caption, const QString &filter) override;
    bool ConfirmOverwrite(const QString &path) override;
    bool OfferStop(const QString &text) override;
    bool ConfirmWrite(const QString &text) override;

private:
    QWidget *parent_;
};
