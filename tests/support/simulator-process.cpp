#include "simulator-process.h"

#include "wait-limits.h"

SimulatorProcess::SimulatorProcess(const QStringList &arguments)
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setReadChannel(QProcess::StandardOutput);
    m_process.start(QStringLiteral(FROSTGAUGE_SIM_EXECUTABLE), arguments);
    if (!m_process.waitForStarted(limitMs()))
        return;
    while (!m_process.canReadLine() && m_process.waitForReadyRead(limitMs())) {}
    if (m_process.canReadLine())
        m_path = QString::fromLocal8Bit(m_process.readLine()).trimmed();
}

SimulatorProcess::~SimulatorProcess()
{
    stop();
}

void stopProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(limitMs()))
        process.kill();
    process.waitForFinished(limitMs());
}

void SimulatorProcess::stop()
{
    stopProcess(m_process);
}
