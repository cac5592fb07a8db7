#pragma once

#include <qwt_plot_picker.h>

// The cursor readout (local time and temperature under the pointer) and the
// rubber band that selects a time range to zoom into.
class HistoryPicker : public QwtPlotPicker
{
    Q_OBJECT

public:
    explicit HistoryPicker(QWidget *canvas);

    // The readout for a point of the plot (x: milliseconds since 1970, y: kelvin).
    static QString readout(const QPointF &point);

signals:
    void rangeSelected(double fromMs, double toMs);

protected:
    QwtText trackerTextF(const QPointF &point) const override;

private:
    void selectRange(const QRectF &rect);
};
