#include "console/Fonts.h"

#include <QFile>
#include <QFontDatabase>
#include <QStringList>

namespace {

QString LoadFamily()
{
    QString family;
#ifndef _WIN32
    // An independent Tahoma-metric font; the captions were spaced for those
    // metrics, so blank runs line up with the edits that sit over them.
    // Windows has Tahoma itself (and so has Wine), found by name below; a
    // path such as this one would mean a folder on the current drive there.
    const QStringList files = {QStringLiteral("/usr/share/wine/fonts/tahoma.ttf"),
                               QStringLiteral("/usr/share/wine/fonts/tahomabd.ttf")};
    for (const QString &file : files) {
        if (!QFile::exists(file))
            continue;
        const int id = QFontDatabase::addApplicationFont(file);
        if (id < 0)
            continue;
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        if (family.isEmpty() && !families.isEmpty())
            family = families.first();
    }
#endif
    if (family.isEmpty() && QFontDatabase::families().contains(QStringLiteral("Tahoma")))
        family = QStringLiteral("Tahoma");
    if (family.isEmpty())
        family = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    return family;
}

} // namespace

QString UiFontFamily()
{
    static const QString family = LoadFamily();
    return family;
}

QFont UiFont(int pixelSize, bool bold)
{
    QFont font(UiFontFamily());
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}
