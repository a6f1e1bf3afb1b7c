#pragma once
// A strip chart: a black face crossed by a green grid every 15 pixels. Values
// added with AddValue are drawn from the right edge and scroll left; the grid
// scrolls with them. `Scale` is the full-scale value (0: the largest value
// seen so far), `Gradient` the step by which an automatic scale grows.

#include <QVector>
#include <QWidget>

class TPerformanceGraph : public QWidget {
    Q_OBJECT
public:
    explicit TPerformanceGraph(QWidget *parent = nullptr);

    void SetScale(int scale);
    int Scale() const { return scale_; }
    void SetGradient(int gradient);
    int Gradient() const { return gradient_; }

    // Appends one value, one step to the right of the previous one.
    void AddValue(int value);
    void Clear();

    static constexpr int GridStep = 15;
    static constexpr int PointStep = 3;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int FullScale() const;

    int scale_ = 0;
    int gradient_ = 3000;
    int scrolled_ = 0;
    QVector<int> values_;
};
