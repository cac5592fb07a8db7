#pragma once

// Debian's mosquitto on 127.0.0.1, on a free port, with its own configuration
// and persistence in a test's folder; and a subscriber (mosquitto_sub) whose
// lines a test reads.

#include "simulator-process.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <pwd.h>
#include <unistd.h>

class MqttBroker
{
public:
    // extra: configuration lines for the listener (TLS, passwords).
    MqttBroker(const QString &folder, const QByteArray &extra = QByteArray()) : m_folder(folder)
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        m_port = probe.serverPort();
        probe.close();
        QFile config(m_folder + "/mosquitto.conf");
        config.open(QIODevice::WriteOnly);
        // Run as root it would switch to the mosquitto user, who cannot read the
        // test's folder: it stays who it was started as.
        const passwd *account = getpwuid(geteuid());
        config.write("user " + QByteArray(account ? account->pw_name : "root")
                     + "\n"
                       "listener "
                     + QByteArray::number(m_port)
                     + " 127.0.0.1\n"
                       "persistence true\npersistence_location "
                     + QFile::encodeName(m_folder)
                     + "/\n"
                       "autosave_interval 1\n"
                     + (extra.contains("allow_anonymous") ? "" : "allow_anonymous true\n") + extra);
        config.close();
        start();
    }
    ~MqttBroker() { stop(); }

    int port() const { return m_port; }

    bool start()
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start("mosquitto", {"-c", m_folder + "/mosquitto.conf"});
        if (!m_process.waitForStarted(5000))
            return false;
        for (int i = 0; i < 100; ++i) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, quint16(m_port));
            if (socket.waitForConnected(100))
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    void stop() { stopProcess(m_process); }

    QString log() { return QString::fromUtf8(m_process.readAll()); }

private:
    QString m_folder;
    int m_port = 0;
    QProcess m_process;
};

class MqttSubscriber
{
public:
    // A persistent session at QoS 1: what arrives while it is away is kept for it.
    MqttSubscriber(int port, const QStringList &extra = {})
    {
        m_process.start("mosquitto_sub", QStringList{"-h", "127.0.0.1", "-p", QString::number(port), "-t", "#", "-v",
                                                     "-q", "1", "-c", "-i", "frostgauge-test-subscriber"}
                                             + extra);
        m_process.waitForStarted(5000);
    }
    ~MqttSubscriber()
    {
        m_process.kill();
        m_process.waitForFinished(1000);
    }

    // Every "topic payload" line so far.
    QStringList lines()
    {
        m_received += QString::fromUtf8(m_process.readAllStandardOutput());
        return m_received.split('\n', Qt::SkipEmptyParts);
    }

private:
    QProcess m_process;
    QString m_received;
};
