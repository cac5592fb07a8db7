#pragma once

// A history store written by the test, as the monitor would have written it:
// one instrument at 1 Hz holding near 4.2 K, one reading-long spike to 300 K,
// one hour without readings, and events at the edges of the gap and at the spike.

#include "history/history-store.h"

#include <QDateTime>

struct HistorySample {
    static constexpr double BaseKelvin = 4.2;
    static constexpr double SpikeKelvin = 300.0;

    QString path;
    QString instrument = QStringLiteral("cryostat1");
    qint64 startMs = 0;
    qint64 endMs = 0; // the last reading
    qint64 spikeMs = 0;
    qint64 gapFromMs = 0; // the first second without a reading
    qint64 gapToMs = 0;   // the first reading after the gap
    QVector<StoredEvent> events;

    // The kelvin of the reading at second i, as written.
    static double kelvinAt(qint64 i) { return BaseKelvin + 0.001 * double(i % 100); }

    bool write(const QString &file, int days)
    {
        path = file;
        HistoryStore store;
        if (!store.openForWriting(path))
            return false;
        const qint64 seconds = qint64(days) * 86400;
        // Whole seconds, two days ago and more: times well inside the past.
        startMs = (QDateTime::currentMSecsSinceEpoch() - (seconds + 2 * 86400) * 1000) / 60000 * 60000;
        endMs = startMs + (seconds - 1) * 1000;
        spikeMs = startMs + (seconds * 3 / 4) * 1000;
        gapFromMs = startMs + (seconds / 3) * 1000;
        gapToMs = gapFromMs + 3600 * 1000;
        for (qint64 i = 0; i < seconds; ++i) {
            const qint64 timeMs = startMs + i * 1000;
            if (timeMs >= gapFromMs && timeMs < gapToMs)
                continue;
            store.addReading(instrument, timeMs, timeMs == spikeMs ? SpikeKelvin : kelvinAt(i));
            if (i % 50000 == 0 && !store.commit())
                return false;
        }
        events = {{gapFromMs, instrument, EventKind::Lost, QStringLiteral("lost"), QStringLiteral("cable pulled"), {}},
                  {gapToMs, instrument, EventKind::Connected, QStringLiteral("connected"), QString(), {}},
                  {spikeMs,
                   instrument,
                   EventKind::AlarmRaised,
                   QStringLiteral("alarm raised"),
                   QStringLiteral("above 20 K"),
                   {}}};
        for (const StoredEvent &event : qAsConst(events))
            store.addEvent(event.instrument, event.timeMs, event.kind, event.detail);
        return store.commit();
    }
};
