#pragma once

// The monitor's HTTP side: GNU libmicrohttpd in its external mode (epoll),
// driven from the Qt event loop by one socket notifier and one timer per
// listening address: no thread of ours. Requests go to a handler that answers
// them whole; a handler may open an event stream instead (Server-Sent
// Events), to which broadcast() appends. With users, every request needs a
// login; wrong logins are logged without the password and slowed down per
// address.

#include "monitor/common/monitor-config.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>

#include <functional>

class QSocketNotifier;
class QTimer;
struct MHD_Daemon;
struct MHD_Connection;

struct HttpRequest {
    QString method;
    QString path; // decoded, as the client asked
    QHash<QString, QString> query;
    QString user;    // who logged in; empty without users
    QString peer;    // the client's address
    QByteArray body; // a POST's, MaxBodyBytes at the most
    QByteArray contentType;
};

struct HttpResponse {
    int status = 200;
    QByteArray contentType = "text/plain; charset=utf-8";
    QByteArray body;
    bool stream = false; // body is the stream's first event; the connection stays open
    QList<QPair<QByteArray, QByteArray>> headers;

    static HttpResponse text(int status, const QString &message);
    static HttpResponse json(const QByteArray &body);
};

class HttpServer : public QObject
{
    Q_OBJECT

public:
    // Clients at once, in all; the next is refused until one leaves.
    static constexpr int MaxConnections = 1000;
    // A request and its headers must fit in this much memory (431 or 414 beyond).
    static constexpr int ConnectionMemory = 32 * 1024;
    // Seconds a connection may stay idle (a stream is never idle: it gets a
    // comment every StreamKeepAliveMs).
    static constexpr int IdleTimeoutSeconds = 30;
    static constexpr int StreamKeepAliveMs = 15000;
    // What waits for a slow stream client at the most; beyond it, it is dropped.
    static constexpr int MaxStreamBacklog = 256 * 1024;
    // A POST's body at the most (413 beyond).
    static constexpr int MaxBodyBytes = 8 * 1024;
    // Wrong logins from one address within a minute before it waits.
    static constexpr int LoginAttempts = 5;

    using Handler = std::function<HttpResponse(const HttpRequest &)>;

    HttpServer(const HttpConfig &config, Handler handler, QObject *parent = nullptr);
    ~HttpServer() override;

    // Before start: how long a connection may stay idle (IdleTimeoutSeconds
    // by default).
    void setIdleTimeout(int seconds) { m_idleTimeoutSeconds = seconds; }
    // Listens on every address; false with error naming the first that failed.
    bool start(QString *error);
    void stop();
    // Appends bytes (whole events) to every open stream.
    void broadcast(const QByteArray &event);
    int streamCount() const { return int(m_streams.size()); }
    int connectionCount() const;

    // libmicrohttpd's callbacks come back here.
    struct Stream;
    int answer(MHD_Connection *connection, const char *url, const char *method, void **state);
    long long readStream(Stream *stream, char *buffer, size_t max);
    void streamClosed(Stream *stream);

private:
    struct Listener {
        MHD_Daemon *daemon = nullptr;
        QSocketNotifier *notifier = nullptr;
        QTimer *timer = nullptr;
    };
    void run(Listener *listener);
    static unsigned currentConnections(MHD_Daemon *daemon);
    void runAll();
    // Whether the request may go on; queues the refusal when not.
    bool loggedIn(MHD_Connection *connection, const QString &peer, QString *user);
    bool tooManyWrongLogins(const QString &peer);

    HttpConfig m_config;
    Handler m_handler;
    QByteArray m_tlsCert;
    QByteArray m_tlsKey;
    QVector<Listener> m_listeners;
    QVector<Stream *> m_streams;
    QTimer *m_keepAlive;
    int m_idleTimeoutSeconds = IdleTimeoutSeconds;
    bool m_running = false;
    // Verified logins, by a keyed hash of name and password, with when.
    QHash<QByteArray, qint64> m_goodLogins;
    QByteArray m_loginKey;
    QHash<QString, QVector<qint64>> m_wrongLogins;
    QElapsedTimer m_clock;
};
