#pragma once
// What RefreshUiState shows, derived from the console state alone: the
// enabled state of the guarded controls, the scan button's caption and the
// texts of status panels 0 and 2.

#include <QString>

#include "console/ConsoleState.h"

struct UiView {
    QString connectionText;     // status panel 0
    QString resultText;         // status panel 2
    bool baudRateEnabled = false;
    QString scanCaption;
    bool scanEnabled = false;
    bool learnEnabled = false;
    bool readEnabled = false;
    bool writeEnabled = false;
    bool renewIdEnabled = false;
    bool exportEnabled = false;
    bool motionEnabled = false; // up, down, stop
    bool goEnabled = false;
    bool targetPosEnabled = false;
    // "Show instant status" is usable only with a device selected in the
    // Control page list; without one it is also unchecked.
    bool statusCheckEnabled = false;

    bool operator==(const UiView &) const = default;
};

// `listHasSelection`: the Control page list has a selected item.
UiView DeriveUiView(const ConsoleState &state, bool listHasSelection);
