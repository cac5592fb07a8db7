#include "simulator-process.h"

SimulatorProcess::SimulatorProcess(const QStringList &arguments)
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setReadChannel(QProcess::StandardOutput);
    m_process.start(QStringLiteral(FROSTGAUGE_SIM_EXECUTABLE), arguments);
    if (!m_process.waitForStarted(5000))
        return;
    while (!m_process.canReadLine() && m_process.waitForReadyRead(5000)) {}
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
    if (!process.waitForFinished(5000))
        process.kill();
    process.waitForFinished(1000);
}

void SimulatorProcess::stop()
{
    stopProcess(m_process);
}
