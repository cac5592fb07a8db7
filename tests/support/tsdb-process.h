#pragma once

// A time-series engine of Debian's for a test, on 127.0.0.1 with its data in
// the test's folder: VictoriaMetrics (which takes samples of any age) or
// Prometheus with its remote-write receiver (which refuses samples older
// than its head block). Both are asked over HTTP with curl.

#include "free-port.h"
#include "simulator-process.h"
#include "wait-limits.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

class TsdbProcess
{
public:
    enum Kind { VictoriaMetrics, Prometheus };

    TsdbProcess(Kind kind, const QString &folder, const QStringList &extra = {})
        : m_kind(kind), m_folder(folder), m_extra(extra), m_port(freePort())
    {}
    ~TsdbProcess() { stop(); }

    static bool available(Kind kind)
    {
        return !QStandardPaths::findExecutable(kind == VictoriaMetrics ? QStringLiteral("victoria-metrics")
                                                                       : QStringLiteral("prometheus"))
                    .isEmpty();
    }

    // An engine started with TLS: its scheme, and the authority curl trusts.
    void setScheme(const QString &scheme, const QString &caFile)
    {
        m_scheme = scheme;
        m_caFile = caFile;
    }
    QString base() const { return QStringLiteral("%1://127.0.0.1:%2").arg(m_scheme).arg(m_port); }
    QString writeUrl() const { return base() + QStringLiteral("/api/v1/write"); }

    // Starts it (again, on the same data and port) and waits until it answers.
    bool start()
    {
        QDir().mkpath(m_folder);
        QStringList arguments;
        QString program;
        if (m_kind == VictoriaMetrics) {
            program = QStringLiteral("victoria-metrics");
            arguments << QStringLiteral("-storageDataPath=") + m_folder + QStringLiteral("/data")
                      << QStringLiteral("-httpListenAddr=127.0.0.1:%1").arg(m_port)
                      << QStringLiteral("-loggerLevel=ERROR");
        } else {
            program = QStringLiteral("prometheus");
            QFile config(m_folder + QStringLiteral("/prometheus.yml"));
            config.open(QIODevice::WriteOnly);
            config.write("global: {}\n");
            config.close();
            arguments << QStringLiteral("--config.file=") + config.fileName()
                      << QStringLiteral("--storage.tsdb.path=") + m_folder + QStringLiteral("/data")
                      << QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(m_port)
                      << QStringLiteral("--web.enable-remote-write-receiver") << QStringLiteral("--log.level=error");
        }
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(program, arguments + m_extra);
        if (!m_process.waitForStarted(limitMs()))
            return false;
        const QString ready = m_kind == VictoriaMetrics ? QStringLiteral("/health") : QStringLiteral("/-/ready");
        return waitUntil([&] { return m_process.state() == QProcess::Running && get(ready, {"-f"}).status == 0; });
    }
    void stop() { stopProcess(m_process); }
    QString log() { return QString::fromUtf8(m_process.readAll()); }

    struct Answer {
        int status = -1; // curl's exit status: 0 when the request succeeded
        QByteArray body;
    };
    Answer get(const QString &path, const QStringList &extra = {}) const
    {
        QProcess curl;
        QStringList trust;
        if (!m_caFile.isEmpty())
            trust << QStringLiteral("--cacert") << m_caFile;
        curl.start(QStringLiteral("curl"),
                   QStringList{"-s", "-g", "--max-time", "10"} + trust + extra + QStringList{base() + path});
        curl.waitForFinished(limitMs());
        return {curl.exitCode(), curl.readAllStandardOutput()};
    }

private:
    Kind m_kind;
    QString m_folder;
    QStringList m_extra;
    quint16 m_port;
    QString m_scheme = QStringLiteral("http");
    QString m_caFile;
    QProcess m_process;
};
