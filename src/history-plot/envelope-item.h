#pragma once

#include "history/history-store.h"

#include <QColor>
#include <QVector>
#include <qwt_plot_item.h>

// One instrument's readings on the plot as their per-column envelope: a line
// through the columns that also spans each column from its lowest to its
// highest reading, so that one reading's spike shows at any zoom. The line
// breaks where the readings stop (a lost connection), and a reading that
// stands alone is a dot.
class EnvelopeItem : public QwtPlotItem
{
public:
    EnvelopeItem(const QString &instrument, const QColor &color);

    // gapMs: consecutive points further apart than this are not joined.
    void setPoints(const QVector<EnvelopePoint> &points, qint64 gapMs);
    const QVector<EnvelopePoint> &points() const { return m_points; }
    QString instrument() const { return m_instrument; }
    QColor color() const { return m_color; }

    int rtti() const override { return QwtPlotItem::Rtti_PlotUserItem + 1; }
    void draw(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap,
              const QRectF &canvasRect) const override;
    QwtGraphic legendIcon(int index, const QSizeF &size) const override;

private:
    QString m_instrument;
    QColor m_color;
    QVector<EnvelopePoint> m_points;
    qint64 m_gapMs = 0;
};
