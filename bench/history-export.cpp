// A store of 30 days at one reading per second (2,592,000 readings) for
// frostgauge-cli history to export; it writes the store and prints its path.
// Usage: frostgauge-bench-history-store STORE [DAYS]

#include "history-store.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>

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
    const int days = argc > 2 ? atoi(argv[2]) : 30;
    QFile::remove(path);
    HistoryStore store;
    if (!store.openForWriting(path)) {
        fprintf(stderr, "%s\n", qPrintable(store.error()));
        return 1;
    }
    const qint64 start = QDateTime::currentMSecsSinceEpoch() - qint64(days) * 86400 * 1000;
    const qint64 total = qint64(days) * 86400;
    for (qint64 i = 0; i < total; ++i) {
        store.addReading(QStringLiteral("cryostat1"), start + i * 1000, 4.2 + 290.8 * std::exp(-i / 36000.0));
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
