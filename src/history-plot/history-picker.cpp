#include "history-plot/history-picker.h"

#include <QDateTime>
#include <qwt_picker_machine.h>
#include <qwt_plot.h>

HistoryPicker::HistoryPicker(QWidget *canvas)
    : QwtPlotPicker(QwtPlot::xBottom, QwtPlot::yLeft, QwtPicker::RectRubberBand, QwtPicker::AlwaysOn, canvas)
{
    setStateMachine(new QwtPickerDragRectMachine);
    connect(this, qOverload<const QRectF &>(&QwtPlotPicker::selected), this, &HistoryPicker::selectRange);
}

QString HistoryPicker::readout(const QPointF &point, const QString &unit)
{
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(qint64(point.x()), Qt::LocalTime);
    const QString value =
        unit == QLatin1String("K") ? QString::number(point.y(), 'f', 3) : QString::number(point.y(), 'g', 4);
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral("  ") + value
           + (unit.isEmpty() ? QString() : QLatin1Char(' ') + unit);
}

QwtText HistoryPicker::trackerTextF(const QPointF &point) const
{
    QwtText text(readout(point, m_unit));
    text.setBackgroundBrush(QColor(255, 255, 255, 210));
    return text;
}

void HistoryPicker::selectRange(const QRectF &rect)
{
    // A click without a drag selects nothing.
    const QRect pixels = transform(rect);
    if (pixels.width() < 4)
        return;
    emit rangeSelected(rect.left(), rect.right());
}
