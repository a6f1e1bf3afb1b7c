#pragma once
// Checks on pictures of the window, for the programs that write them: what a
// person looking at a picture would notice first.

#include <QAbstractScrollArea>
#include <QHash>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <algorithm>

namespace pictures {

// A painted page has text, frames and controls: many colours, none of them
// covering nearly everything. Antialiased text alone brings dozens.
constexpr int MinColours = 8;
constexpr double MaxShareOfOneColour = 0.99;

// Empty when the picture looks painted; otherwise what is wrong with it.
inline QString Blankness(const QImage &image)
{
    if (image.isNull() || image.width() == 0 || image.height() == 0)
        return QStringLiteral("empty picture");
    QHash<QRgb, qint64> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y)];
    qint64 most = 0;
    for (qint64 n : counts)
        most = std::max(most, n);
    const double share = double(most) / (double(image.width()) * image.height());
    if (counts.size() < MinColours || share > MaxShareOfOneColour)
        return QStringLiteral("blank: %1 colours, one of them %2 % of the picture")
            .arg(counts.size())
            .arg(share * 100, 0, 'f', 1);
    return {};
}

// The widget's object names from `root` down, for messages:
// "PageControl1/qt_tabwidget_stackedwidget/OptionPage/ActionGroupBox/motorUpButton".
inline QString PathOf(const QWidget *widget, const QWidget *root)
{
    QStringList names;
    for (const QWidget *w = widget; w && w != root; w = w->parentWidget())
        names.prepend(w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className())
                                                : w->objectName());
    return names.join(QLatin1Char('/'));
}

// One line for each widget shown in `window` that does not lie wholly inside
// its parent: the part outside is cut off on the screen (a button missing its
// edge, a caption cut short, a control past the window's border). Children of
// a scroll area's viewport are left out; they are meant to scroll. Empty when
// everything fits.
inline QStringList Clipped(const QWidget *window)
{
    QStringList out;
    for (const QWidget *w : window->findChildren<QWidget *>()) {
        if (!w->isVisible() || w->isWindow())
            continue;
        const QWidget *parent = w->parentWidget();
        const QWidget *grandparent = parent ? parent->parentWidget() : nullptr;
        if (const auto *area = qobject_cast<const QAbstractScrollArea *>(grandparent);
            area && area->viewport() == parent)
            continue;
        const QRect box = w->geometry();
        const QRect room = parent->rect();
        if (room.contains(box))
            continue;
        out << QStringLiteral("%1 at (%2,%3 %4x%5) does not fit in its parent (%6x%7)")
                   .arg(PathOf(w, window))
                   .arg(box.x())
                   .arg(box.y())
                   .arg(box.width())
                   .arg(box.height())
                   .arg(room.width())
                   .arg(room.height());
    }
    return out;
}

} // namespace pictures
