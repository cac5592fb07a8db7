#pragma once

// One alarm: a temperature outside its limits (with hysteresis and a hold
// time), no reading for a while, or the instrument lost. Each raise and clear
// is reported once; the optional command runs with the facts in its
// environment, never spliced into a command line (alarm-command.h).

#include "monitor/common/monitor-config.h"

#include <QObject>

class AlarmCommand;

class Alarm : public QObject
{
    Q_OBJECT

public:
    Alarm(const AlarmConfig &config, qint64 startMs, QObject *parent = nullptr);
    const AlarmConfig &config() const { return m_config; }
    bool isRaised() const { return m_raised; }
    // The command's runner; null without a command.
    AlarmCommand *command() const { return m_command; }

    void reading(qint64 timeMs, double kelvin);
    void connected(qint64 timeMs);
    void lost(qint64 timeMs);
    // A client's maintenance of the instrument (a firmware upgrade): the
    // instrument is silent on purpose, so silence raises nothing meanwhile.
    void maintenance(bool under, qint64 timeMs);
    // The clock's tick: silence and hold times run out here too.
    void tick(qint64 timeMs);
    // A person takes the raised alarm on: its command repeats no more. False
    // with why set when it is not raised, or was acknowledged already.
    bool acknowledge(const QString &who, qint64 timeMs, QString *why);
    bool isAcknowledged() const { return !m_acknowledgedBy.isEmpty(); }
    QString acknowledgedBy() const { return m_acknowledgedBy; }
    qint64 acknowledgedMs() const { return m_acknowledgedMs; }
    // The value and time of the last raise.
    double raisedValue() const { return m_raisedValue; }
    qint64 raisedMs() const { return m_raisedMs; }

signals:
    // value: the reading that decided it (NaN if none).
    void changed(const QString &alarm, const QString &instrument, bool raised, double value, qint64 timeMs);
    void acknowledged(const QString &alarm, const QString &instrument, const QString &who, qint64 timeMs);

private:
    void setRaised(bool raised, double value, qint64 timeMs);
    void runCommand(bool raised, double value, qint64 timeMs, int repeat = 0);

    AlarmConfig m_config;
    bool m_raised = false;
    bool m_maintenance = false;
    qint64 m_lastReadingMs;
    qint64 m_outsideSinceMs = -1; // first reading of the current excursion
    double m_lastValue;
    AlarmCommand *m_command = nullptr;
    QString m_acknowledgedBy; // empty: not acknowledged
    qint64 m_acknowledgedMs = 0;
    qint64 m_lastRunMs = 0; // when the command last ran for this raise
    int m_repeats = 0;
    double m_raisedValue = 0;
    qint64 m_raisedMs = 0;
};
