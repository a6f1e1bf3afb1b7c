#pragma once
// The window's typeface: Tahoma where it can be had, else the platform's sans
// font at the same pixel size.

#include <QFont>
#include <QString>

// Family used for every control. On Linux the first call loads the
// Tahoma-metric font from Wine's font folder if it is there (it is outside
// fontconfig's paths); on Windows, Tahoma is a system font. Needs a
// QGuiApplication.
QString UiFontFamily();

// The window font at `pixelSize` pixels (13 for ordinary controls).
QFont UiFont(int pixelSize, bool bold = false);
