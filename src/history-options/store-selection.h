#pragma once

// What history and plot share: a store of frostgauge-monitor opened for
// reading, and the --instrument, --from and --to options that pick from it.

#include "history/history-store.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <limits>

class StoreSelection
{
public:
    StoreSelection();
    void addOptionsTo(QCommandLineParser &parser) const;
    // After parsing: the times, then the store and the instrument. Each prints
    // what is wrong and returns the exit code; Success when all is well.
    int readTimes(const QCommandLineParser &parser);
    int open(const QCommandLineParser &parser, const QString &path);

    HistoryStore store;
    QString instrument; // empty: all of them
    qint64 fromMs = 0;
    qint64 toMs = std::numeric_limits<qint64>::max();
    bool fromGiven = false;
    bool toGiven = false;

private:
    QCommandLineOption m_instrument;
    QCommandLineOption m_from;
    QCommandLineOption m_to;
};
