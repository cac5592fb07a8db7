// A store of 30 days at one reading per second (2,592,000 readings) for
// frostgauge-cli history to export, or of any number of readings (a backlog
// for the MQTT benchmark); it writes the store and prints its path.
// Usage: frostgauge-bench-history-store STORE [DAYS | --readings N] [--instrument NAME]

#include "history-store.h"

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
        fprintf(stderr, "usage: %s STORE [DAYS]\n", argv[0]);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const QStringList args = QCoreApplication::arguments().mid(2);
    qint64 total = 30LL * 86400;
    QString instrument = QStringLiteral("cryostat1");
    for (int i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--readings") && i + 1 < args.size())
            total = args.at(++i).toLongLong();
        else if (args.at(i) == QLatin1String("--instrument") && i + 1 < args.size())
            instrument = args.at(++i);
        else
            total = args.at(i).toLongLong() * 86400;
    }
    QFile::remove(path);
    HistoryStore store;
    if (!store.openForWriting(path)) {
        fprintf(stderr, "%s\n", qPrintable(store.error()));
        return 1;
    }
    const qint64 start = QDateTime::currentMSecsSinceEpoch() - total * 1000;
    for (qint64 i = 0; i < total; ++i) {
        store.addReading(instrument, start + i * 1000, 4.2 + 290.8 * std::exp(-i / 36000.0));
        if (i % 100000 == 99999 && !store.commit()) {
            fprintf(stderr, "%s\n", qPrintable(store.error()));
            return 1;
        }
    }
    if (!store.commit())
        return 1;
    printf("%s\n", argv[1]);
    return 0;
}
