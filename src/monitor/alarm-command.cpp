#include "monitor/alarm-command.h"

#include "monitor/common/monitor-log.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>

#include <csignal>
#include <unistd.h>

// A process that leads a group of its own, so that the command's children
// (a shell's pipeline, a mailer it starts) end with it.
class CommandProcess : public QProcess
{
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override { ::setsid(); }
};

QStringList splitCommandLine(const QString &command)
{
    // As a shell splits words, without expanding anything: blanks separate,
    // '...' keeps everything, "..." and \ keep the next character.
    QStringList words;
    QString word;
    bool inWord = false;
    QChar quote;
    for (int i = 0; i < command.size(); ++i) {
        const QChar c = command.at(i);
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            else if (c == QLatin1Char('\\') && quote == QLatin1Char('"') && i + 1 < command.size())
                word += command.at(++i);
            else
                word += c;
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            quote = c;
            inWord = true;
        } else if (c == QLatin1Char('\\') && i + 1 < command.size()) {
            word += command.at(++i);
            inWord = true;
        } else if (c.isSpace()) {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words << word;
    return words;
}

AlarmCommand::AlarmCommand(const QString &alarm, const QString &command, int timeoutMs, QObject *parent)
    : QObject(parent), m_alarm(alarm), m_command(command), m_timeoutMs(timeoutMs), m_timeout(new QTimer(this))
{
    m_timeout->setSingleShot(true);
    connect(m_timeout, &QTimer::timeout, this, [this] {
        killGroup(SIGKILL);
        m_timedOut = true;
    });
}

AlarmCommand::~AlarmCommand()
{
    stop();
}

void AlarmCommand::run(const QString &state, const QProcessEnvironment &environment)
{
    if (!m_process) {
        start(state, environment);
        return;
    }
    m_hasPending = true;
    m_pendingState = state;
    m_pendingEnvironment = environment;
}

void AlarmCommand::start(const QString &state, const QProcessEnvironment &environment)
{
    QStringList words = splitCommandLine(m_command);
    if (words.isEmpty())
        return;
    m_process = new CommandProcess(this);
    m_process->setProgram(words.takeFirst());
    m_process->setArguments(words);
    m_process->setProcessEnvironment(environment);
    m_process->setStandardInputFile(QProcess::nullDevice());
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_runningState = state;
    m_timedOut = false;
    m_output.clear();
    m_outputDropped = 0;
    connect(m_process, &QProcess::readyRead, this, &AlarmCommand::readOutput);
    connect(m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this](int code, QProcess::ExitStatus status) {
                if (m_timedOut)
                    ended(QStringLiteral("timed out after %1 s; it was ended").arg(m_timeoutMs / 1000.0));
                else if (status != QProcess::NormalExit)
                    ended(QStringLiteral("was killed"));
                else
                    ended(code == 0 ? QString() : QStringLiteral("exited with %1").arg(code));
            });
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            ended(QStringLiteral("cannot be run: %1").arg(m_process->errorString()));
    });
    m_process->start();
    m_group = m_process->processId();
    m_timeout->start(m_timeoutMs);
}

void AlarmCommand::readOutput()
{
    const QByteArray bytes = m_process->readAll();
    const int room = qMax(0, MaxLoggedOutput - m_output.size());
    m_output.append(bytes.left(room));
    m_outputDropped += qMax(0, bytes.size() - room);
}

void AlarmCommand::ended(const QString &how)
{
    if (!m_process)
        return;
    m_timeout->stop();
    readOutput();
    // Whatever the command left running in its group goes with it.
    killGroup(SIGKILL);
    m_process->disconnect(this);
    m_process->deleteLater();
    m_process = nullptr;
    m_group = 0;
    QString output = QString::fromUtf8(m_output).trimmed();
    if (m_outputDropped > 0)
        output += QStringLiteral(" [%1 more bytes not logged]").arg(m_outputDropped);
    if (!how.isEmpty())
        qCWarning(lcMonitor).noquote() << QStringLiteral("alarm %1: command %2%3")
                                              .arg(m_alarm, how,
                                                   output.isEmpty() ? QString() : QStringLiteral(": ") + output);
    else if (!output.isEmpty())
        qCInfo(lcMonitor).noquote() << QStringLiteral("alarm %1: command said: %2").arg(m_alarm, output);
    if (m_hasPending) {
        m_hasPending = false;
        if (m_pendingState != m_runningState)
            start(m_pendingState, m_pendingEnvironment);
    }
    emit finished();
}

void AlarmCommand::killGroup(int signal)
{
    if (m_group > 0)
        ::kill(pid_t(-m_group), signal);
}

void AlarmCommand::stop(QDeadlineTimer grace)
{
    // A command that is about to finish (a mail on its way, the change that
    // came meanwhile) gets a moment; one that hangs does not hold up the stop.
    while (m_process && !grace.hasExpired())
        m_process->waitForFinished(int(qMax<qint64>(1, grace.remainingTime())));
    if (m_hasPending) {
        m_hasPending = false;
        qCWarning(lcMonitor).noquote() << QStringLiteral(
                                              "alarm %1: the change to %2 was not delivered: the monitor stopped")
                                              .arg(m_alarm, m_pendingState);
    }
    if (!m_process)
        return;
    m_process->disconnect(this);
    killGroup(SIGKILL);
    m_process->waitForFinished(2000);
    ended(QStringLiteral("was ended as the monitor stopped"));
}
