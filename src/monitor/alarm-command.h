#pragma once

// The command of one alarm, run once per change: never two at a time (a change
// while one runs is delivered after it, the latest state winning), ended with
// its whole process group when it overruns its time-out or the monitor stops,
// and its output logged, cut to a few KiB a run.

#include <QDeadlineTimer>
#include <QObject>
#include <QProcessEnvironment>
#include <QStringList>

class CommandProcess;
class QTimer;

// Splits an alarm's command into words as a shell would, expanding nothing.
QStringList splitCommandLine(const QString &command);

class AlarmCommand : public QObject
{
    Q_OBJECT

public:
    // Output past this many bytes a run is counted, not logged.
    static constexpr int MaxLoggedOutput = 4096;
    // How long a running command (and the change waiting for it) may still
    // take when the monitor stops, before it is ended.
    static constexpr int StopGraceMs = 2000;

    AlarmCommand(const QString &alarm, const QString &command, int timeoutMs, QObject *parent = nullptr);
    ~AlarmCommand() override;

    // state is what the command is told (FROSTGAUGE_STATE); equal states in a
    // row while a run goes on are delivered once.
    void run(const QString &state, const QProcessEnvironment &environment);
    // Lets a running command finish (and the change waiting after it run)
    // until grace expires, then ends what still runs, children and all.
    void stop(QDeadlineTimer grace = QDeadlineTimer(StopGraceMs));
    bool isRunning() const { return m_process; }

signals:
    // A run ended (for tests and for whoever waits on the alarm's commands).
    void finished();

private:
    void start(const QString &state, const QProcessEnvironment &environment);
    void readOutput();
    void ended(const QString &how);
    void killGroup(int signal);

    QString m_alarm;
    QString m_command;
    int m_timeoutMs;
    CommandProcess *m_process = nullptr;
    qint64 m_group = 0;
    QTimer *m_timeout;
    bool m_timedOut = false;
    QByteArray m_output;
    qint64 m_outputDropped = 0;
    QString m_runningState;
    bool m_hasPending = false;
    QString m_pendingState;
    QProcessEnvironment m_pendingEnvironment;
};
