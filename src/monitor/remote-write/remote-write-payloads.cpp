#include "monitor/remote-write/remote-write-payloads.h"

#include "drivers/channel-units.h"
#include "remote-write.pb.h"

#include <snappy.h>

#include <algorithm>
#include <string>

namespace RemoteWrite {

Labels seriesLabels(const SeriesName &name, const QString &monitor, const Labels &extra, double *factor)
{
    *factor = 1;
    QString metric;
    QString unit;
    if (name.state) {
        // A state channel's number (what its word stands for).
        metric = QStringLiteral("frostgauge_state_code");
    } else {
        const ChannelUnit *known = findChannelUnit(name.unit);
        const QString quantity = QString::fromLatin1(known ? known->metric : "value");
        metric = QStringLiteral("frostgauge_") + quantity;
        if (known && *known->symbol) {
            *factor = known->toBase;
            for (const char *base :
                 {"kelvin", "celsius", "pascals", "volts", "amperes", "watts", "hertz", "ohms", "seconds",
                  "cubic_meters_per_second", "grams_per_second", "moles_per_second", "ratio"}) {
                if (quantity.endsWith(QLatin1String(base)))
                    unit = QLatin1String(base);
            }
        }
    }
    Labels labels{{QStringLiteral("__name__"), metric},
                  {QStringLiteral("instrument"), name.instrument},
                  {QStringLiteral("monitor"), monitor}};
    if (!name.channel.isEmpty())
        labels.append({QStringLiteral("channel"), name.channel});
    if (!name.source.isEmpty())
        labels.append({QStringLiteral("source"), name.source});
    if (!unit.isEmpty())
        labels.append({QStringLiteral("unit"), unit});
    for (const auto &label : extra) {
        if (!label.second.isEmpty())
            labels.append(label);
    }
    // Sorted by name, each once, none empty: as the protocol asks.
    std::stable_sort(labels.begin(), labels.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    labels.erase(
        std::unique(labels.begin(), labels.end(), [](const auto &a, const auto &b) { return a.first == b.first; }),
        labels.end());
    labels.erase(std::remove_if(labels.begin(), labels.end(), [](const auto &label) { return label.second.isEmpty(); }),
                 labels.end());
    return labels;
}

SeriesName archivedSeries(const QString &stored, const QString &unit)
{
    SeriesName name;
    QString rest = stored;
    const int slash = stored.indexOf(QLatin1Char('/'));
    if (slash > 0) {
        name.source = stored.left(slash);
        rest = stored.mid(slash + 1);
    }
    const int colon = rest.indexOf(QLatin1Char(':'));
    name.instrument = colon > 0 ? rest.left(colon) : rest;
    name.channel = colon > 0 ? rest.mid(colon + 1) : QString();
    name.unit = unit;
    name.state = unit.isEmpty();
    return name;
}

QByteArray writeRequest(const QVector<Labels> &series, const QVector<Sample> &samples)
{
    prometheus::WriteRequest request;
    QVector<prometheus::TimeSeries *> made(series.size(), nullptr);
    for (const Sample &sample : samples) {
        prometheus::TimeSeries *&timeSeries = made[sample.series];
        if (!timeSeries) {
            timeSeries = request.add_timeseries();
            for (const auto &label : series.at(sample.series)) {
                prometheus::Label *added = timeSeries->add_labels();
                added->set_name(label.first.toStdString());
                added->set_value(label.second.toStdString());
            }
        }
        prometheus::Sample *added = timeSeries->add_samples();
        added->set_value(sample.value);
        added->set_timestamp(sample.timeMs);
    }
    std::string encoded;
    request.SerializeToString(&encoded);
    std::string compressed;
    snappy::Compress(encoded.data(), encoded.size(), &compressed);
    return QByteArray(compressed.data(), int(compressed.size()));
}

bool readWriteRequest(const QByteArray &body, QVector<Labels> *series, QVector<Sample> *samples)
{
    std::string encoded;
    if (!snappy::Uncompress(body.constData(), size_t(body.size()), &encoded))
        return false;
    prometheus::WriteRequest request;
    if (!request.ParseFromString(encoded))
        return false;
    series->clear();
    samples->clear();
    for (const prometheus::TimeSeries &timeSeries : request.timeseries()) {
        Labels labels;
        for (const prometheus::Label &label : timeSeries.labels())
            labels.append({QString::fromStdString(label.name()), QString::fromStdString(label.value())});
        series->append(labels);
        for (const prometheus::Sample &sample : timeSeries.samples())
            samples->append({int(series->size()) - 1, qint64(sample.timestamp()), sample.value()});
    }
    return true;
}

} // namespace RemoteWrite
