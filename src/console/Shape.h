#pragma once
// A status dot: a circle drawn with a pen as wide as the circle, so the pen
// colour fills it.

#include <QColor>
#include <QWidget>

class TShape : public QWidget {
    Q_OBJECT
public:
    explicit TShape(QWidget *parent = nullptr);

    void SetPenColor(const QColor &color);
    QColor PenColor() const { return penColor_; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor penColor_{192, 192, 192};
};
