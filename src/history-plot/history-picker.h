#pragma once

#include <qwt_plot_picker.h>

// The cursor readout (local time and temperature under the pointer) and the
// rubber band that selects a time range to zoom into.
class HistoryPicker : public QwtPlotPicker
{
    Q_OBJECT

public:
    explicit HistoryPicker(QWidget *canvas);

    // The readout for a point of the plot (x: milliseconds since 1970, y: a
    // value in unit; kelvin with three decimals).
    static QString readout(const QPointF &point, const QString &unit = QStringLiteral("K"));
    // The unit of the series shown.
    void setUnit(const QString &unit) { m_unit = unit; }

signals:
    void rangeSelected(double fromMs, double toMs);

protected:
    QwtText trackerTextF(const QPointF &point) const override;

private:
    void selectRange(const QRectF &rect);

    QString m_unit = QStringLiteral("K");
};
