#pragma once

// Debian's mosquitto on 127.0.0.1, on a free port, with its own configuration
// and persistence in a test's folder; and a subscriber (mosquitto_sub) whose
// lines a test reads.

#include "simulator-process.h"
#include "wait-limits.h"

#include <QDir>
#include <QElapsedTimer>
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
        if (!m_process.waitForStarted(limitMs()))
            return false;
        // Ready once its listener takes a connection.
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < limitMs()) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, quint16(m_port));
            if (socket.waitForConnected(100))
                return true;
            if (m_process.state() == QProcess::NotRunning)
                return false;
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
    // Constructed once the broker has confirmed the subscription, so that
    // nothing published after it is missed.
    MqttSubscriber(int port, const QStringList &extra = {})
    {
        // Line-buffered: its protocol log (-d) would otherwise wait in a pipe's buffer.
        m_process.start("stdbuf",
                        QStringList{"-oL", "mosquitto_sub", "-h", "127.0.0.1", "-p", QString::number(port), "-t", "#",
                                    "-v", "-q", "1", "-c", "-i", "frostgauge-test-subscriber", "-d"}
                            + extra);
        m_process.waitForStarted(limitMs());
        QElapsedTimer clock;
        clock.start();
        while (!m_received.contains(QLatin1String(" received SUBACK")) && clock.elapsed() < limitMs()
               && m_process.state() == QProcess::Running) {
            m_process.waitForReadyRead(50);
            allLines();
        }
    }
    ~MqttSubscriber()
    {
        m_process.kill();
        m_process.waitForFinished(limitMs());
    }

    // Every "topic payload" line so far (the client's own protocol log, -d, left out).
    QStringList lines()
    {
        QStringList messages;
        for (const QString &line : allLines()) {
            if (!line.startsWith(QLatin1String("Client ")) && !line.startsWith(QLatin1String("Subscribed (")))
                messages.append(line);
        }
        return messages;
    }

private:
    QStringList allLines()
    {
        m_received += QString::fromUtf8(m_process.readAllStandardOutput());
        return m_received.split('\n', Qt::SkipEmptyParts);
    }

    QProcess m_process;
    QString m_received;
};
