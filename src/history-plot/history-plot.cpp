#include "history-plot/history-plot.h"

#include "history/history-csv.h"

#include "history-plot/envelope-item.h"
#include "history-plot/history-picker.h"
#include "history/history-time.h"

#include <QTimer>
#include <qwt_date_scale_draw.h>
#include <qwt_date_scale_engine.h>
#include <qwt_legend.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_grid.h>
#include <qwt_plot_magnifier.h>
#include <qwt_plot_marker.h>
#include <qwt_plot_panner.h>
#include <qwt_scale_draw.h>
#include <qwt_scale_engine.h>
#include <qwt_scale_widget.h>

#include <cmath>
#include <limits>

namespace {

// A position on the time axis as a time the history handles (the axis may
// report any double after a wild zoom).
qint64 historyTimeOf(double ms)
{
    if (!(ms >= double(EarliestHistoryMs)))
        return EarliestHistoryMs;
    if (ms >= double(LatestHistoryMs))
        return LatestHistoryMs;
    return qint64(std::llround(ms));
}

// Colours that stay apart on white and in print.
const QColor Palette[] = {QColor(0x1f, 0x77, 0xb4), QColor(0xd6, 0x27, 0x28), QColor(0x2c, 0xa0, 0x2c),
                          QColor(0x94, 0x67, 0xbd), QColor(0xff, 0x7f, 0x0e), QColor(0x8c, 0x56, 0x4b),
                          QColor(0xe3, 0x77, 0xc2), QColor(0x17, 0xbe, 0xcf)};

QColor eventColor(EventKind kind)
{
    if (isAlarmEvent(kind))
        return QColor(0xe6, 0x7e, 0x00);
    if (isLossEvent(kind))
        return QColor(0xc0, 0x00, 0x00);
    if (isMaintenanceEvent(kind))
        return QColor(0x6a, 0x3d, 0x9a);
    if (kind == EventKind::Setting)
        return QColor(0x1b, 0x7a, 0x3e);
    if (kind == EventKind::Note || kind == EventKind::AlarmAcknowledged)
        return QColor(0x1f, 0x5f, 0xb4);
    return QColor(0x70, 0x70, 0x70);
}

// What a marker says: a note its own words (the first line, cut) and who wrote them.
QString markerText(const StoredEvent &event)
{
    QString text = event.kindText;
    if (event.kind == EventKind::Note) {
        text = event.detail.section(QLatin1Char('\n'), 0, 0);
        if (text.size() > 60)
            text = text.left(59) + QChar(0x2026);
        if (!event.author.isEmpty())
            text += QStringLiteral(" (%1)").arg(event.author);
    }
    return event.instrument.isEmpty() ? text : event.instrument + QLatin1Char(' ') + text;
}

// Hours and minutes on the ticks, and the day where one begins.
class TimeScaleDraw : public QwtDateScaleDraw
{
public:
    TimeScaleDraw() : QwtDateScaleDraw(Qt::LocalTime)
    {
        setDateFormat(QwtDate::Second, QStringLiteral("HH:mm:ss"));
        setDateFormat(QwtDate::Minute, QStringLiteral("HH:mm"));
        setDateFormat(QwtDate::Hour, QStringLiteral("HH:mm"));
        setDateFormat(QwtDate::Day, QStringLiteral("ddd d MMM"));
        setDateFormat(QwtDate::Week, QStringLiteral("d MMM"));
    }

protected:
    QString dateFormatOfDate(const QDateTime &time, QwtDate::IntervalType type) const override
    {
        if (type <= QwtDate::Hour && time.time() == QTime(0, 0))
            return QStringLiteral("ddd d MMM");
        return QwtDateScaleDraw::dateFormatOfDate(time, type);
    }
};

// Kelvin on the logarithmic axis as a person writes them: 0.01, 0.1, 1, 10,
// 100, 1000, whatever the locale (no grouping of thousands).
class KelvinScaleDraw : public QwtScaleDraw
{
public:
    QwtText label(double value) const override { return QString::number(value, 'g', 6); }
};

// Pixels between two event labels, which stand upright beside their lines.
constexpr double MinimumLabelSpacing = 18;

// The wheel zooms the time axis only: the temperature axis follows what is shown.
class TimeMagnifier : public QwtPlotMagnifier
{
public:
    explicit TimeMagnifier(QWidget *canvas) : QwtPlotMagnifier(canvas)
    {
        setAxisEnabled(QwtPlot::yLeft, false);
        // Qwt divides by the factor for a turn away from the user: above 1,
        // that turn zooms in, as in map and plot viewers.
        setWheelFactor(1.25);
        setMouseButton(Qt::NoButton);
    }
};

} // namespace

HistoryPlot::HistoryPlot(HistoryStore *store, QWidget *parent) : QwtPlot(parent), m_store(store)
{
    setCanvasBackground(Qt::white);
    if (auto *frame = qobject_cast<QwtPlotCanvas *>(canvas()))
        frame->setFrameStyle(QFrame::Box | QFrame::Plain);
    setAxisTitle(QwtPlot::yLeft, QStringLiteral("T, K"));
    setAxisScaleDraw(QwtPlot::xBottom, new TimeScaleDraw);
    setAxisScaleEngine(QwtPlot::xBottom, new QwtDateScaleEngine(Qt::LocalTime));
    setAxisAutoScale(QwtPlot::xBottom, false);
    setAxisAutoScale(QwtPlot::yLeft, false);
    insertLegend(new QwtLegend, QwtPlot::BottomLegend);

    m_grid = new QwtPlotGrid;
    m_grid->setMajorPen(QColor(0xdd, 0xdd, 0xdd), 0, Qt::DotLine);
    m_grid->setMinorPen(QColor(0xee, 0xee, 0xee), 0, Qt::DotLine);
    m_grid->attach(this);

    new TimeMagnifier(canvas());
    auto *panner = new QwtPlotPanner(canvas());
    panner->setMouseButton(Qt::RightButton);
    panner->setOrientations(Qt::Horizontal);
    auto *picker = new HistoryPicker(canvas());
    m_picker = picker;
    connect(picker, &HistoryPicker::rangeSelected, this,
            [this](double from, double to) { setRange(historyTimeOf(from), historyTimeOf(to)); });

    // Zoom and pan change the axis; the data for the new range follow.
    connect(axisWidget(QwtPlot::xBottom), &QwtScaleWidget::scaleDivChanged, this, [this] {
        if (!m_settingAxis)
            takeRangeFromAxis();
    });
}

void HistoryPlot::prepareForRendering(const QSize &pixels)
{
    resize(pixels);
    // A hidden widget gets its resize event only when shown: lay out now.
    updateLayout();
}

void HistoryPlot::setInstrument(const QString &instrument)
{
    m_instrument = instrument;
    // A line instrument's channel reads in its own unit; all series together
    // are temperatures only when every one of them is.
    const QString unit = instrument.isEmpty() ? (allInKelvin(*m_store, instrument) ? QStringLiteral("K") : QString())
                                              : m_store->unitOf(instrument);
    setAxisTitle(QwtPlot::yLeft, unit == QLatin1String("K") ? QStringLiteral("T, K")
                                 : unit.isEmpty()           ? QStringLiteral("value")
                                                            : QStringLiteral("value, ") + unit);
    m_picker->setUnit(unit);
    m_unit = unit;
    reload();
}

bool HistoryPlot::showWholeRange()
{
    if (!m_store->timeSpan(&m_firstMs, &m_lastMs))
        return false;
    setRange(m_firstMs, m_lastMs);
    return true;
}

void HistoryPlot::setRange(qint64 fromMs, qint64 toMs)
{
    // Held within the times the history handles (a store may hold stranger
    // ones): no difference below can overflow.
    fromMs = clampHistoryTime(fromMs);
    toMs = clampHistoryTime(toMs);
    if (toMs < fromMs)
        std::swap(fromMs, toMs);
    if (toMs - fromMs < MinimumSpanMs) {
        const qint64 middle = fromMs + (toMs - fromMs) / 2;
        fromMs = qBound(EarliestHistoryMs, middle - MinimumSpanMs / 2, LatestHistoryMs - MinimumSpanMs);
        toMs = fromMs + MinimumSpanMs;
    }
    m_fromMs = fromMs;
    m_toMs = toMs;
    reload();
    emit rangeChanged(m_fromMs, m_toMs);
}

void HistoryPlot::zoom(double factor)
{
    const double middle = (double(m_fromMs) + double(m_toMs)) / 2;
    const double half = (double(m_toMs) - double(m_fromMs)) / 2 * factor;
    setRange(historyTimeOf(middle - half), historyTimeOf(middle + half));
}

void HistoryPlot::pan(double fraction)
{
    const double shift = double(m_toMs - m_fromMs) * fraction;
    setRange(historyTimeOf(double(m_fromMs) + shift), historyTimeOf(double(m_toMs) + shift));
}

bool HistoryPlot::follow()
{
    qint64 first = 0;
    qint64 last = 0;
    if (!m_store->timeSpan(&first, &last) || last <= m_lastMs)
        return false;
    const bool showedNewest = m_toMs >= m_lastMs;
    const bool showedAll = showedNewest && m_fromMs <= m_firstMs;
    const qint64 shift = last - m_lastMs;
    m_firstMs = first;
    m_lastMs = last;
    if (showedAll)
        setRange(first, last);
    else if (showedNewest)
        setRange(m_fromMs + shift, m_toMs + shift);
    else
        reload();
    return true;
}

void HistoryPlot::takeRangeFromAxis()
{
    const QwtInterval shown = axisInterval(QwtPlot::xBottom);
    m_fromMs = historyTimeOf(shown.minValue());
    m_toMs = historyTimeOf(shown.maxValue());
    // A wheel turn or a drag reports many changes: one reading of the store follows them.
    if (m_reloadPending)
        return;
    m_reloadPending = true;
    QTimer::singleShot(0, this, [this] {
        m_reloadPending = false;
        setRange(m_fromMs, m_toMs);
    });
}

EnvelopeItem *HistoryPlot::curveFor(const QString &instrument)
{
    for (EnvelopeItem *curve : qAsConst(m_curves)) {
        if (curve->instrument() == instrument)
            return curve;
    }
    auto *curve = new EnvelopeItem(instrument, Palette[m_curves.size() % (sizeof Palette / sizeof Palette[0])]);
    curve->attach(this);
    m_curves.append(curve);
    return curve;
}

void HistoryPlot::reload()
{
    m_leftOff = 0;
    // One column per pixel of the canvas (before the window is shown, of the
    // size it was given).
    const int columns = qMax(1, canvas()->contentsRect().width());
    const qint64 columnMs = (m_toMs - m_fromMs) / columns + 1;
    const qint64 gapMs = qMax(GapMs, 2 * columnMs);
    const QStringList instruments = m_store->instruments();
    for (const QString &name : instruments) {
        QVector<EnvelopePoint> points;
        if (!m_instrument.isEmpty() && name != m_instrument) {
            curveFor(name)->setVisible(false);
            curveFor(name)->setItemAttribute(QwtPlotItem::Legend, false);
            continue;
        }
        if (!m_store->envelope(name, m_fromMs, m_toMs, columns, &points))
            emit readError(m_store->error());
        leaveOffUnplottable(&points);
        EnvelopeItem *curve = curveFor(name);
        curve->setPoints(points, gapMs);
        curve->setVisible(true);
        curve->setItemAttribute(QwtPlotItem::Legend, true);
    }
    // The legend names the series drawn, and only those.
    updateLegend();
    placeMarkers();
    fitTemperatureAxis();
    m_settingAxis = true;
    setAxisScale(QwtPlot::xBottom, double(m_fromMs), double(m_toMs));
    m_settingAxis = false;
    replot();
}

void HistoryPlot::leaveOffUnplottable(QVector<EnvelopePoint> *points)
{
    // A value no scale of kelvin holds (a damaged or hand-made store) would
    // take the temperature axis with it: it is left off, as the live plot does.
    const bool log = m_logScale;
    const auto unplottable = [log](const EnvelopePoint &point) {
        return !(std::fabs(point.lo) <= MaxPlottedKelvin && std::fabs(point.hi) <= MaxPlottedKelvin)
               || (log && !(point.lo > 0));
    };
    const auto kept = std::remove_if(points->begin(), points->end(), unplottable);
    m_leftOff += int(points->end() - kept);
    points->erase(kept, points->end());
}

void HistoryPlot::placeMarkers()
{
    qDeleteAll(m_markers);
    m_markers.clear();
    // A store that cannot be read shows no markers; its readings say why.
    QVector<StoredEvent> events;
    m_store->events(m_instrument, m_fromMs, m_toMs, &events);
    // Labels of events closer than a line of text would overlap: those get the line alone.
    const double pixelsPerMs =
        double(qMax(1, canvas()->contentsRect().width())) / double(qMax<qint64>(1, m_toMs - m_fromMs));
    double lastLabelX = -1e9;
    for (const StoredEvent &event : events) {
        auto *marker = new QwtPlotMarker(event.kindText);
        marker->setLineStyle(QwtPlotMarker::VLine);
        // A note is what a person wrote: its line is solid and its label always shown.
        const bool note = event.kind == EventKind::Note;
        marker->setLinePen(eventColor(event.kind), note ? 1.5 : 0, note ? Qt::SolidLine : Qt::DashLine);
        marker->setXValue(double(event.timeMs));
        const double x = double(event.timeMs - m_fromMs) * pixelsPerMs;
        if (note || x - lastLabelX >= MinimumLabelSpacing) {
            QwtText label(markerText(event));
            label.setColor(eventColor(event.kind));
            marker->setLabel(label);
            marker->setLabelOrientation(Qt::Vertical);
            marker->setLabelAlignment(Qt::AlignTop | Qt::AlignRight);
            lastLabelX = x;
        }
        marker->setZ(10);
        marker->attach(this);
        m_markers.append(marker);
    }
}

bool HistoryPlot::suitsLogScale(double lo, double hi, bool kelvin)
{
    // A cool-down from room temperature to 4.2 K spans 70 times; any span of
    // ten times that reaches below 30 K is one. Other values need two decades.
    if (!(lo > 0))
        return false;
    return hi / lo > 100 || (kelvin && lo < CryogenicKelvin && hi / lo >= 10);
}

bool HistoryPlot::shownSpan(double *lo, double *hi) const
{
    *lo = std::numeric_limits<double>::infinity();
    *hi = -*lo;
    for (const EnvelopeItem *curve : qAsConst(m_curves)) {
        if (!curve->isVisible())
            continue;
        for (const EnvelopePoint &point : curve->points()) {
            *lo = qMin(*lo, point.lo);
            *hi = qMax(*hi, point.hi);
        }
    }
    return *lo <= *hi;
}

void HistoryPlot::setLogScale(bool log)
{
    if (log == m_logScale)
        return;
    m_logScale = log;
    if (log) {
        setAxisScaleEngine(QwtPlot::yLeft, new QwtLogScaleEngine(10));
        setAxisScaleDraw(QwtPlot::yLeft, new KelvinScaleDraw);
    } else {
        setAxisScaleEngine(QwtPlot::yLeft, new QwtLinearScaleEngine);
        setAxisScaleDraw(QwtPlot::yLeft, new QwtScaleDraw);
    }
    m_grid->enableYMin(log);
    reload();
}

void HistoryPlot::fitTemperatureAxis()
{
    double lo = 0;
    double hi = 0;
    const bool any = shownSpan(&lo, &hi);
    if (m_logScale) {
        // Whole decades, so that every tick has its label; an empty range
        // shows the decades of a cool-down.
        const double low = any && lo > 0 ? std::floor(std::log10(lo)) : -2;
        double high = any && hi > 0 ? std::ceil(std::log10(hi)) : 3;
        if (high <= low)
            high = low + 1;
        setAxisScale(QwtPlot::yLeft, std::pow(10.0, low), std::pow(10.0, high));
        return;
    }
    if (!any) {
        lo = 0;
        hi = 1;
    }
    // A flat line sits in the middle of a band of one kelvin.
    const double margin = hi > lo ? (hi - lo) * 0.05 : 0.5;
    setAxisScale(QwtPlot::yLeft, lo - margin, hi + margin);
}
