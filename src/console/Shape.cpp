#include "console/Shape.h"

#include <QPainter>

TShape::TShape(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
}

void TShape::SetPenColor(const QColor &color)
{
    if (color == penColor_)
        return;
    penColor_ = color;
    update();
}

void TShape::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(penColor_);
    const int side = qMin(width(), height());
    painter.drawEllipse(QRectF((width() - side) / 2.0, (height() - side) / 2.0, side, side));
}
