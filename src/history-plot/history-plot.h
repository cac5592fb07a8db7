#pragma once

#include "history/history-store.h"

#include <QList>
#include <QVector>
#include <qwt_plot.h>

class EnvelopeItem;
class HistoryPicker;
class QwtPlotMarker;

// The plot of a history store over a time range: one envelope per instrument,
// the events as vertical markers, a time axis in local time and a temperature
// axis fitted to what is shown. Every change of the range (zoom, pan, a
// rubber band) reads the store again for that range at the canvas's width,
// so the work per redraw depends on the pixels, not on the readings.
class HistoryPlot : public QwtPlot
{
    Q_OBJECT

public:
    // The shortest range shown: a few readings at 1 Hz.
    static constexpr qint64 MinimumSpanMs = 2000;
    // Readings further apart than this are a gap, not a line.
    static constexpr qint64 GapMs = 10000;
    // Values beyond this many kelvin (either way) are left off the plot.
    static constexpr double MaxPlottedKelvin = 1e9;

    explicit HistoryPlot(HistoryStore *store, QWidget *parent = nullptr);

    // Lays the plot out at this size without showing it, so that it reads the
    // store at the width it will be drawn.
    void prepareForRendering(const QSize &pixels);
    // One instrument, or all of them (empty).
    void setInstrument(const QString &instrument);
    QString instrument() const { return m_instrument; }
    // The range from the first to the last reading; false when the store is empty.
    bool showWholeRange();
    void setRange(qint64 fromMs, qint64 toMs);
    qint64 fromMs() const { return m_fromMs; }
    qint64 toMs() const { return m_toMs; }
    // factor < 1 zooms in around the middle; fraction > 0 moves later.
    void zoom(double factor);
    void pan(double fraction);
    // Takes in what the monitor wrote since the last look: a view that showed
    // the newest reading moves on with it (the whole range grows). True when
    // there was something new.
    bool follow();

    QVector<EnvelopeItem *> curves() const { return m_curves; }
    QList<QwtPlotMarker *> markers() const { return m_markers; }
    // Columns of the range shown that were left off as beyond any kelvin scale
    // (or, on the logarithmic axis, at or below 0 K).
    int leftOff() const { return m_leftOff; }

    // The temperature axis: linear, or logarithmic with a tick at every decade
    // (a cool-down from room temperature to millikelvin reads on it).
    void setLogScale(bool log);
    bool logScale() const { return m_logScale; }
    // Whether readings from lo to hi call for the logarithmic axis: over two
    // decades, or (temperatures in kelvin) over one that reaches below 30 K.
    static constexpr double CryogenicKelvin = 30;
    static bool suitsLogScale(double lo, double hi, bool kelvin = true);
    // The unit of the series shown ("K"; empty for a state or several units).
    QString unit() const { return m_unit; }
    // The lowest and highest reading shown; false when none is.
    bool shownSpan(double *lo, double *hi) const;
    // Reads the store for the range now set, at the canvas width, and redraws.
    void reload();

signals:
    void rangeChanged(qint64 fromMs, qint64 toMs);
    void readError(const QString &message);

private:
    HistoryPicker *m_picker = nullptr;
    QString m_unit = QStringLiteral("K");
    void takeRangeFromAxis();
    EnvelopeItem *curveFor(const QString &instrument);
    void leaveOffUnplottable(QVector<EnvelopePoint> *points);
    void placeMarkers();
    void fitTemperatureAxis();

    HistoryStore *m_store;
    QString m_instrument;
    qint64 m_fromMs = 0;
    qint64 m_toMs = 0;
    qint64 m_firstMs = 0;
    qint64 m_lastMs = -1;
    bool m_settingAxis = false;
    bool m_reloadPending = false;
    int m_leftOff = 0;
    bool m_logScale = false;
    class QwtPlotGrid *m_grid = nullptr;
    QVector<EnvelopeItem *> m_curves;
    QList<QwtPlotMarker *> m_markers;
};
