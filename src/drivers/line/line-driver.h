#pragma once

// Any instrument that speaks in lines (SCPI and its many cousins), as its
// protocol file describes it: identified (when the file says how), sent its
// init commands at every connect, then asked each query once per period, one
// exchange at a time, and read from the lines it sends by itself. Replies
// that give no value (no match, not a number, an error reply, no reply, not
// text, endless) are events, one at the start of each burst and one when it
// ends, never values.

#include "drivers/instrument-driver.h"
#include "drivers/line/line-framer.h"

#include <QElapsedTimer>
#include <QHash>

class PortStream;
class QTimer;

class LineDriver : public InstrumentDriver
{
    Q_OBJECT

public:
    static constexpr int DefaultPeriodMs = 1000;

    explicit LineDriver(const DriverOptions &options, QObject *parent = nullptr);

    QVector<InstrumentChannel> channels() const override;
    bool open(const QString &port) override;
    void close() override;
    bool isOpen() const override;
    void identifyAgain() override;
    // A line instrument is not shared: a client's questions would take our answers.
    void setClientPresent(bool) override {}
    void clientLine(const QByteArray &) override {}
    qint64 bytesNotYetSent() const override;

signals:
    // Every command as it was written to the port.
    void sent(const QByteArray &bytes);
    // A round of queries is over (each asked once).
    void roundDone();

private:
    enum class Step { Closed, Connecting, Identifying, Initialising, Polling };
    enum class Problem { NoReply, BadReply, ErrorReply, Unreadable };
    // The channels that share one query: one exchange per poll.
    struct Query {
        QByteArray command;
        QVector<int> channels; // indexes into m_channels
    };

    void opened();
    void received(const QByteArray &bytes);
    void quietOrLate();
    void reply(const QByteArray &bytes);
    void exchange(const QByteArray &command, int query);
    void exchangeDone();
    void next();
    void startPoll();
    void identified(const QString &text);
    // The identity checked against the configured one; the init commands follow.
    void accept(const InstrumentIdentity &identity);
    void queryReply(int query, const QString &text);
    // A line nobody asked for: a channel without query, or a stray one.
    bool unasked(const QString &text);
    bool readChannel(int channel, const QString &text, QString *why);
    void problem(Problem kind, int query, const QString &detail);
    void good(Problem kind, int query);
    void portLost(const QString &reason);

    DriverOptions m_options;
    QVector<LineChannel> m_channels;
    QVector<Query> m_queries;
    QVector<int> m_unasked; // channels read from lines the instrument sends by itself
    PortStream *m_stream;
    LineFramer m_framer;
    QString m_port;
    QTimer *m_replyTimer; // the wait for a reply, then the quiet between its bytes
    QTimer *m_gapTimer;
    QTimer *m_pollTimer;
    Step m_step = Step::Closed;
    int m_awaited = -2;      // the query awaited; -1 identification or init; -2 none
    bool m_draining = false; // after a time-out: a late reply is not the next one's
    int m_next = 0;          // the next init command or query of this round
    QElapsedTimer m_round;   // since this round of queries began
    int m_silent = 0;        // queries in a row without any reply
    bool m_saidSilent = false;
    QByteArray m_lastCommand;
    InstrumentIdentity m_identity;
    struct Burst {
        int count = 0;
        QString first;
    };
    QHash<QPair<int, int>, Burst> m_bursts; // by problem and query (-1: none)
};
