#include "history-plot/envelope-item.h"

#include <QPainter>
#include <QPolygonF>
#include <qwt_graphic.h>
#include <qwt_scale_map.h>

EnvelopeItem::EnvelopeItem(const QString &instrument, const QColor &color)
    : QwtPlotItem(QwtText(instrument)), m_instrument(instrument), m_color(color)
{
    setItemAttribute(QwtPlotItem::Legend, true);
    setRenderHint(QwtPlotItem::RenderAntialiased, false);
    setZ(20);
}

void EnvelopeItem::setPoints(const QVector<EnvelopePoint> &points, qint64 gapMs)
{
    m_points = points;
    m_gapMs = gapMs;
    itemChanged();
}

void EnvelopeItem::draw(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap, const QRectF &) const
{
    QPen pen(m_color, 1.0);
    pen.setCosmetic(true);
    painter->setPen(pen);
    QPolygonF run;
    const auto flush = [&] {
        if (run.size() == 1)
            painter->drawEllipse(run.first(), 1.5, 1.5);
        else if (!run.isEmpty())
            painter->drawPolyline(run);
        run.clear();
    };
    for (int i = 0; i < m_points.size(); ++i) {
        const EnvelopePoint &point = m_points.at(i);
        if (i > 0 && point.timeMs - m_points.at(i - 1).timeMs > m_gapMs)
            flush();
        const double x = xMap.transform(double(point.timeMs));
        run.append(QPointF(x, yMap.transform(point.lo)));
        if (point.hi != point.lo)
            run.append(QPointF(x, yMap.transform(point.hi)));
    }
    flush();
}

QwtGraphic EnvelopeItem::legendIcon(int, const QSizeF &size) const
{
    return defaultIcon(QBrush(m_color), size);
}
