// A store of DAYS (default 30) at one reading per second for one or more
// instruments, for frostgauge-cli history and plot and for the viewer's
// benchmark; or of any number of readings (a backlog for the MQTT benchmark).
// Each instrument cools down from room temperature, then holds near 4 K with
// a one-reading warm spike in its last day and an hour with no readings (a
// lost connection, recorded as events). It writes the store and prints its path.
// With --acknowledged a monitor started on it publishes no backlog (the
// archive's replay benchmark asks for the readings instead).
// Usage: frostgauge-bench-history-store STORE [DAYS | --readings N] [--instrument NAME] [--instruments N]
// [--acknowledged]

#include "history/history-store.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QStringList>

#include <cmath>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        fprintf(stderr,
                "usage: %s STORE [DAYS | --readings N] [--instrument NAME] [--instruments N] [--acknowledged]\n",
                argv[0]);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const QStringList args = QCoreApplication::arguments().mid(2);
    qint64 total = 30LL * 86400;
    QString instrument = QStringLiteral("cryostat1");
    int instruments = 1;
    bool acknowledged = false; // as if a broker had every reading: a monitor on it republishes none
    for (int i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--readings") && i + 1 < args.size())
            total = args.at(++i).toLongLong();
        else if (args.at(i) == QLatin1String("--instrument") && i + 1 < args.size())
            instrument = args.at(++i);
        else if (args.at(i) == QLatin1String("--acknowledged"))
            acknowledged = true;
        else if (args.at(i) == QLatin1String("--instruments") && i + 1 < args.size())
            instruments = qBound(1, args.at(++i).toInt(), 64);
        else
            total = args.at(i).toLongLong() * 86400;
    }
    QFile::remove(path);
    HistoryStore store;
    if (!store.openForWriting(path)) {
        fprintf(stderr, "%s\n", qPrintable(store.error()));
        return 1;
    }
    const qint64 start = (QDateTime::currentMSecsSinceEpoch() - total * 1000) / 1000 * 1000;
    const bool quirks = total >= 2 * 86400; // a spike and a gap only where there is room for them
    for (int n = 0; n < instruments; ++n) {
        const QString name = instruments == 1 ? instrument : QStringLiteral("cryostat%1").arg(n + 1);
        const qint64 spike = total - 86400 + 3600 * (3 + n);
        const qint64 gapFrom = total / 2 + 7200 * n;
        const qint64 gapTo = gapFrom + 3600;
        for (qint64 i = 0; i < total; ++i) {
            if (quirks && i >= gapFrom && i < gapTo)
                continue;
            double kelvin = 4.2 + 290.8 * std::exp(-i / 36000.0) + 0.01 * std::sin(i / 60.0 + n);
            if (quirks && i == spike)
                kelvin += 40;
            const qint64 seq = store.addReading(name, start + i * 1000, kelvin);
            if (acknowledged)
                store.setAcknowledged(name, seq, start + i * 1000);
            if (i % 100000 == 99999 && !store.commit()) {
                fprintf(stderr, "%s\n", qPrintable(store.error()));
                return 1;
            }
        }
        if (quirks) {
            store.addEvent(name, start + gapFrom * 1000, EventKind::Lost, QStringLiteral("cable pulled"));
            store.addEvent(name, start + gapTo * 1000, EventKind::Connected, QString());
            store.addEvent(name, start + spike * 1000, EventKind::AlarmRaised, QStringLiteral("above 20 K"));
        }
    }
    if (!store.commit())
        return 1;
    printf("%s\n", argv[1]);
    return 0;
}
