#pragma once

// Runs frostgauge-sim for a test and tells where its pseudo-terminal is.

#include <QProcess>
#include <QString>
#include <QStringList>

// Stops a helper process as a service manager would (SIGTERM), and kills it
// if it does not go.
void stopProcess(QProcess &process);

class SimulatorProcess
{
public:
    explicit SimulatorProcess(const QStringList &arguments = {});
    ~SimulatorProcess();

    bool started() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    QProcess &process() { return m_process; }
    // Stops the simulator (SIGTERM) and waits for it.
    void stop();

private:
    QProcess m_process;
    QString m_path;
};
