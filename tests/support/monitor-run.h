#pragma once

// frostgauge-monitor run by a test (the test defines
// FROSTGAUGE_MONITOR_EXECUTABLE), its log as it grows, and waits on what it
// says or stores instead of fixed sleeps.

#include "history/history-store.h"
#include "wait-limits.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <limits>

class MonitorRun
{
public:
    QProcess process;

    bool start(const QString &configPath)
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(QStringLiteral(FROSTGAUGE_MONITOR_EXECUTABLE), {"--config", configPath});
        return process.waitForStarted(limitMs());
    }

    // Everything logged so far.
    QString log()
    {
        m_log += QString::fromUtf8(process.readAllStandardError());
        return m_log;
    }

    // Until the log holds text count times; false after timeoutMs.
    bool waitForLog(const QString &text, int count = 1, int timeoutMs = limitMs())
    {
        QElapsedTimer clock;
        clock.start();
        while (log().count(text) < count) {
            if (clock.elapsed() > timeoutMs)
                return false;
            process.waitForReadyRead(50);
        }
        return true;
    }

    // Stops the monitor as systemd does; returns its whole log, or why it did not end well.
    QString stop()
    {
        process.terminate();
        if (!process.waitForFinished(limitMs()))
            return QStringLiteral("did not stop");
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            return QStringLiteral("exit %1").arg(process.exitCode());
        return log();
    }

private:
    QString m_log;
};

// The readings of one instrument in a store, read while the monitor writes it.
inline qint64 storedReadings(const QString &path, const QString &instrument, qint64 fromMs = 0)
{
    HistoryStore store;
    qint64 count = 0;
    if (store.openForReading(path))
        store.readings(instrument, fromMs, std::numeric_limits<qint64>::max(), [&](const StoredReading &) { ++count; });
    return count;
}
