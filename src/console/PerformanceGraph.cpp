#include "console/PerformanceGraph.h"

#include <QPainter>
#include <algorithm>

TPerformanceGraph::TPerformanceGraph(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPerformanceGraph::SetScale(int scale)
{
    scale_ = std::max(0, scale);
    update();
}

void TPerformanceGraph::SetGradient(int gradient)
{
    gradient_ = std::max(1, gradient);
    update();
}

void TPerformanceGraph::AddValue(int value)
{
    values_.append(value);
    // Keep only what the face can show.
    const int keep = width() / PointStep + 2;
    if (values_.size() > keep)
        values_.remove(0, values_.size() - keep);
    scrolled_ = (scrolled_ + PointStep) % GridStep;
    update();
}

void TPerformanceGraph::Clear()
{
    values_.clear();
    scrolled_ = 0;
    update();
}

int TPerformanceGraph::FullScale() const
{
    if (scale_ > 0)
        return scale_;
    int top = 0;
    for (int v : values_)
        top = std::max(top, v);
    // Grow in whole gradient steps so the trace does not rescale every point.
    return (top / gradient_ + 1) * gradient_;
}

void TPerformanceGraph::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    painter.setPen(QColor(0, 128, 0));
    for (int x = GridStep - scrolled_; x < width(); x += GridStep)
        painter.drawLine(x, 0, x, height() - 1);
    for (int y = GridStep; y < height(); y += GridStep)
        painter.drawLine(0, y, width() - 1, y);

    if (values_.size() < 2)
        return;
    const int full = FullScale();
    painter.setPen(QColor(0, 255, 0));
    QPolygon trace;
    const int n = static_cast<int>(values_.size());
    for (int i = 0; i < n; ++i) {
        const int x = width() - 1 - (n - 1 - i) * PointStep;
        const int y = height() - 1 - static_cast<int>(static_cast<long long>(values_[i]) * (height() - 1) / full);
        trace << QPoint(x, std::clamp(y, 0, height() - 1));
    }
    painter.drawPolyline(trace);
}
