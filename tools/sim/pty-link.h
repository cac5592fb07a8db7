#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QQueue>
#include <QString>

class QSocketNotifier;
class QTimer;

// The simulator's end of a pseudo-terminal. The program under test opens
// slavePath() as a serial port; bytes written here arrive there. With a baud
// rate set, output leaves no faster than a real line of that rate would carry
// it, and input is taken no faster either: a writer that outruns the line
// finds the terminal full, as on a real port.
class PtyLink : public QObject
{
    Q_OBJECT

public:
    explicit PtyLink(QObject *parent = nullptr);
    ~PtyLink() override;

    bool open(QString *error);
    QString slavePath() const { return m_slavePath; }
    void setPaceBaud(int baud) { m_paceBaud = baud; }
    // Seconds a line of this many bytes takes on the paced line (0 unpaced).
    double wireSeconds(qint64 bytes) const;

    // Queues bytes; with pacing they leave no earlier than notBeforeMs on the
    // link's clock and at the line's byte rate.
    void send(const QByteArray &bytes, qint64 notBeforeMs = 0);
    qint64 nowMs() const { return m_clock.elapsed(); }
    void hangUp();

signals:
    void received(const QByteArray &bytes);

private:
    void readReady();
    void flushOutput();
    void scheduleFlush();

    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_paceTimer = nullptr;
    int m_paceBaud = 0;
    QElapsedTimer m_clock;
    struct Pending {
        QByteArray bytes;
        qint64 notBeforeMs;
    };
    QQueue<Pending> m_queue;
    // With pacing: when the line is free again, in link-clock milliseconds.
    double m_lineFreeMs = 0;
    // With pacing: when the receiving line has carried what was read so far.
    double m_inputFreeMs = 0;
    QTimer *m_inputTimer = nullptr;
};
