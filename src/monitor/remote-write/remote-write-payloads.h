#pragma once

// What goes to a time-series engine by Prometheus remote write, built
// without a network: the labels of a series and the compressed WriteRequest
// of a batch of samples (protobuf in snappy's block format).

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

namespace RemoteWrite {

using Labels = QVector<QPair<QString, QString>>; // sorted by name

struct Sample {
    int series; // an index into the batch's series
    qint64 timeMs;
    double value;
};

// The labels of one of the monitor's series: the metric's name by the unit's
// quantity in its base unit (as /metrics names it), the instrument, the
// channel, the unit, the source of an archived one, the monitor, and the
// extra labels. *factor turns a value into the base unit.
struct SeriesName {
    QString instrument;
    QString channel;
    QString source; // an archive's: the lab it came from
    QString unit;   // as the instrument gives it ("mbar"); empty for a state
    bool state = false;
};
Labels seriesLabels(const SeriesName &name, const QString &monitor, const Labels &extra, double *factor);
// A series of the store by its name: SOURCE/INSTRUMENT[:CHANNEL] for an
// archived one (the channel after the first ':'), else the instrument's own.
SeriesName archivedSeries(const QString &stored, const QString &unit);

// The body of one request: samples of each series in the order given.
QByteArray writeRequest(const QVector<Labels> &series, const QVector<Sample> &samples);
// Back again (for tests and tools); false when the bytes are no request.
bool readWriteRequest(const QByteArray &body, QVector<Labels> *series, QVector<Sample> *samples);

} // namespace RemoteWrite
