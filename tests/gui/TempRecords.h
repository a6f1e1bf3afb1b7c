#pragma once
// The window tests keep their service records in temporary files, never in
// the user's data folder: a fixture gives its window a file of its own in a
// temporary folder it owns, and $LUMO_RECORDS names a temporary file for any
// window built without one and for the programs a test starts (lumo-tool).

#include <QFile>
#include <QTemporaryDir>
#include <string>

// The records file of a window whose fixture owns `folder`.
inline std::string RecordsFileIn(const QTemporaryDir &folder)
{
    return folder.filePath(QStringLiteral("records.sqlite")).toStdString();
}

// Points $LUMO_RECORDS at a file in a temporary folder that lasts as long as
// the program.
inline void RecordsToTempFolder()
{
    static QTemporaryDir folder;
    qputenv("LUMO_RECORDS", QFile::encodeName(folder.filePath(QStringLiteral("records.sqlite"))));
}
