#pragma once
// The application object. An exception that escapes an event handler (a file
// that cannot be read or written) is shown in the error box and the program
// goes on.

#include <QApplication>

class UserDialogs;

class LumoApplication : public QApplication {
    Q_OBJECT
public:
    LumoApplication(int &argc, char **argv);

    // Where the error box goes; without one it is written to stderr.
    void SetDialogs(UserDialogs *dialogs) { dialogs_ = dialogs; }

    bool notify(QObject *receiver, QEvent *event) override;

    // Shows the message of the exception being handled; one that is not a
    // std::exception shows an empty message.
    void ShowCurrentException();

private:
    UserDialogs *dialogs_ = nullptr;
};
