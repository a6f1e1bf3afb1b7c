#pragma once
// File names between Qt and the core: the core takes a path as the system's
// own bytes (UTF-8 on Windows) and gives reasons as the C library's text.

#include <QFile>
#include <QString>
#include <string>

inline std::string NativePath(const QString &path)
{
#ifdef _WIN32
    return path.toUtf8().toStdString();
#else
    return QFile::encodeName(path).toStdString();
#endif
}

inline QString SystemText(const std::string &reason)
{
    return QString::fromLocal8Bit(reason.data(), static_cast<qsizetype>(reason.size()));
}
