#include "monitor/web/http-server.h"

#include "monitor/common/http-users.h"
#include "monitor/common/monitor-log.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

struct HttpServer::Stream {
    HttpServer *server;
    MHD_Connection *connection;
    QByteArray waiting;
    bool suspended = false;
    bool dropped = false;
};

namespace {

// A login verified once is taken for this long (a password hash costs a tenth
// of a second and 64 MiB by design).
constexpr qint64 GoodLoginMs = 10 * 60 * 1000;
constexpr qint64 WrongLoginWindowMs = 60 * 1000;

// The first call for a request only announces its headers.
char HeadersSeen;

// A POST's body as it comes, bounded.
struct PostBody {
    QByteArray bytes;
    bool tooLarge = false;
};

MHD_Result accessHandler(void *server, MHD_Connection *connection, const char *url, const char *method, const char *,
                         const char *upload, size_t *uploadSize, void **state)
{
    if (!*state && qstrcmp(method, "POST") == 0) {
        *state = new PostBody;
        return MHD_YES;
    }
    if (*state && *state != &HeadersSeen && *uploadSize > 0) {
        auto *body = static_cast<PostBody *>(*state);
        if (body->bytes.size() + qint64(*uploadSize) > HttpServer::MaxBodyBytes)
            body->tooLarge = true;
        else
            body->bytes.append(upload, int(*uploadSize));
        *uploadSize = 0;
        return MHD_YES;
    }
    // Nothing else takes a body: one is dropped as it comes.
    if (*state == &HeadersSeen && *uploadSize > 0) {
        *uploadSize = 0;
        return MHD_YES;
    }
    return static_cast<HttpServer *>(server)->answer(connection, url, method, state) ? MHD_YES : MHD_NO;
}

void requestCompleted(void *, MHD_Connection *, void **state, MHD_RequestTerminationCode)
{
    if (*state && *state != &HeadersSeen)
        delete static_cast<PostBody *>(*state);
    *state = nullptr;
}

ssize_t streamReader(void *stream, uint64_t, char *buffer, size_t max)
{
    auto *open = static_cast<HttpServer::Stream *>(stream);
    return ssize_t(open->server->readStream(open, buffer, max));
}

void streamFreed(void *stream)
{
    auto *open = static_cast<HttpServer::Stream *>(stream);
    open->server->streamClosed(open);
}

MHD_Result collectArgument(void *query, MHD_ValueKind, const char *key, const char *value)
{
    static_cast<QHash<QString, QString> *>(query)->insert(QString::fromUtf8(key),
                                                          QString::fromUtf8(value ? value : ""));
    return MHD_YES;
}

QString peerOf(MHD_Connection *connection)
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr)
        return QString();
    char text[INET6_ADDRSTRLEN] = {};
    const sockaddr *address = info->client_addr;
    if (address->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, text, sizeof text);
    else if (address->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr, text, sizeof text);
    return QString::fromLatin1(text);
}

bool queue(MHD_Connection *connection, const HttpResponse &reply)
{
    MHD_Response *response = MHD_create_response_from_buffer(
        size_t(reply.body.size()), const_cast<char *>(reply.body.constData()), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return false;
    MHD_add_response_header(response, "Content-Type", reply.contentType.constData());
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    for (const auto &header : reply.headers)
        MHD_add_response_header(response, header.first.constData(), header.second.constData());
    const bool queued = MHD_queue_response(connection, unsigned(reply.status), response) == MHD_YES;
    MHD_destroy_response(response);
    return queued;
}

// libmicrohttpd's own words, in the monitor's log. A browser that closes a
// tab leaves its event stream in the middle of a chunk: that is no news.
void serverLog(void *, const char *format, va_list arguments)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    const QString line = QString::fromLocal8Bit(text).trimmed();
    if (line.startsWith(QLatin1String("Failed to send the chunked response body"))
        || line.startsWith(QLatin1String("Failed to send data in request for")))
        return;
    qCInfo(lcMonitor).noquote() << QStringLiteral("http: ") + line;
}

} // namespace

HttpResponse HttpResponse::text(int status, const QString &message)
{
    HttpResponse response;
    response.status = status;
    response.body = message.toUtf8() + '\n';
    return response;
}

HttpResponse HttpResponse::json(const QByteArray &body)
{
    HttpResponse response;
    response.contentType = "application/json";
    response.body = body;
    return response;
}

HttpServer::HttpServer(const HttpConfig &config, Handler handler, QObject *parent)
    : QObject(parent), m_config(config), m_handler(std::move(handler)), m_keepAlive(new QTimer(this))
{
    m_clock.start();
    m_keepAlive->setInterval(StreamKeepAliveMs);
    connect(m_keepAlive, &QTimer::timeout, this, [this] { broadcast(":\n\n"); });
}

HttpServer::~HttpServer()
{
    stop();
}

bool HttpServer::start(QString *error)
{
    if (sodium_init() < 0) {
        *error = QStringLiteral("http: libsodium cannot start");
        return false;
    }
    m_loginKey.resize(crypto_generichash_KEYBYTES);
    randombytes_buf(m_loginKey.data(), size_t(m_loginKey.size()));
    if (m_config.tls()) {
        // Read now: the service may not reach the files later, and the
        // library keeps pointers to these bytes while it runs.
        for (const auto &file : {qMakePair(m_config.tlsCert, &m_tlsCert), qMakePair(m_config.tlsKey, &m_tlsKey)}) {
            QFile pem(file.first);
            if (!pem.open(QIODevice::ReadOnly)) {
                *error = QStringLiteral("http: %1 cannot be read: %2").arg(file.first, pem.errorString());
                return false;
            }
            *file.second = pem.readAll() + '\0';
        }
    }
    // Clients at once, within the descriptors the process may open (each
    // address gets its share; the ports and the store keep a reserve).
    struct rlimit files = {};
    ::getrlimit(RLIMIT_NOFILE, &files);
    const int room = int(qMin<rlim_t>(files.rlim_cur, 1 << 20)) - 128;
    const unsigned connections =
        unsigned(qBound(16, qMin(MaxConnections, room) / int(m_config.listen.size()), MaxConnections));
    for (const HttpListen &listen : qAsConst(m_config.listen)) {
        // Our own socket, so that a busy port is said in the system's words.
        const bool six = listen.address.contains(QLatin1Char(':'));
        sockaddr_storage address = {};
        socklen_t length = 0;
        const QByteArray raw = listen.address.toLatin1();
        if (six) {
            auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(listen.port);
            ::inet_pton(AF_INET6, raw.constData(), &in6->sin6_addr);
            length = sizeof(sockaddr_in6);
        } else {
            auto *in4 = reinterpret_cast<sockaddr_in *>(&address);
            in4->sin_family = AF_INET;
            in4->sin_port = htons(listen.port);
            ::inet_pton(AF_INET, raw.constData(), &in4->sin_addr);
            length = sizeof(sockaddr_in);
        }
        const int socket = ::socket(six ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int yes = 1;
        if (socket >= 0) {
            ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            if (six)
                ::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
        }
        // The system's longest queue of connections not yet accepted: a burst
        // (every dashboard reconnecting after a restart) waits there, where a
        // short queue makes the kernel drop the handshakes beyond it and each
        // such client wait for a retry, a second and more.
        if (socket < 0 || ::bind(socket, reinterpret_cast<sockaddr *>(&address), length) != 0
            || ::listen(socket, SOMAXCONN) != 0) {
            *error = QStringLiteral("[http] listen: cannot listen on %1: %2")
                         .arg(listen.text(), QString::fromLocal8Bit(strerror(errno)));
            if (socket >= 0)
                ::close(socket);
            stop();
            return false;
        }
        unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
        if (six)
            flags |= MHD_USE_IPv6;
        if (m_config.tls())
            flags |= MHD_USE_TLS;
        MHD_Daemon *daemon =
            m_config.tls()
                ? MHD_start_daemon(flags, 0, nullptr, nullptr, &accessHandler, this, MHD_OPTION_LISTEN_SOCKET, socket,
                                   MHD_OPTION_CONNECTION_LIMIT, connections, MHD_OPTION_CONNECTION_TIMEOUT,
                                   unsigned(m_idleTimeoutSeconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                                   size_t(ConnectionMemory), MHD_OPTION_NOTIFY_COMPLETED, &requestCompleted, nullptr,
                                   MHD_OPTION_EXTERNAL_LOGGER, &serverLog, nullptr, MHD_OPTION_HTTPS_MEM_KEY,
                                   m_tlsKey.constData(), MHD_OPTION_HTTPS_MEM_CERT, m_tlsCert.constData(),
                                   MHD_OPTION_END)
                : MHD_start_daemon(flags, 0, nullptr, nullptr, &accessHandler, this, MHD_OPTION_LISTEN_SOCKET, socket,
                                   MHD_OPTION_CONNECTION_LIMIT, connections, MHD_OPTION_CONNECTION_TIMEOUT,
                                   unsigned(m_idleTimeoutSeconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                                   size_t(ConnectionMemory), MHD_OPTION_NOTIFY_COMPLETED, &requestCompleted, nullptr,
                                   MHD_OPTION_EXTERNAL_LOGGER, &serverLog, nullptr, MHD_OPTION_END);
        if (!daemon) {
            *error = QStringLiteral("[http] cannot serve on %1%2")
                         .arg(listen.text(),
                              m_config.tls() ? QStringLiteral(" (is the TLS key the certificate's?)") : QString());
            ::close(socket);
            stop();
            return false;
        }
        Listener listener;
        listener.daemon = daemon;
        const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD);
        listener.notifier = new QSocketNotifier(info->epoll_fd, QSocketNotifier::Read, this);
        listener.timer = new QTimer(this);
        listener.timer->setSingleShot(true);
        m_listeners.append(listener);
    }
    // Connected once the vector holds them all: the pointers stay put.
    for (Listener &listener : m_listeners) {
        Listener *at = &listener;
        connect(listener.notifier, &QSocketNotifier::activated, this, [this, at] { run(at); });
        connect(listener.timer, &QTimer::timeout, this, [this, at] { run(at); });
        run(at);
    }
    m_running = true;
    m_keepAlive->start();
    return true;
}

void HttpServer::stop()
{
    m_running = false;
    m_keepAlive->stop();
    for (Stream *stream : qAsConst(m_streams))
        stream->dropped = true;
    for (Listener &listener : m_listeners) {
        delete listener.notifier;
        delete listener.timer;
        // Suspended streams must be resumed before the daemon may stop.
        for (Stream *stream : qAsConst(m_streams)) {
            if (stream->suspended) {
                stream->suspended = false;
                MHD_resume_connection(stream->connection);
            }
        }
        MHD_stop_daemon(listener.daemon);
    }
    m_listeners.clear();
}

void HttpServer::run(Listener *listener)
{
    const unsigned before = currentConnections(listener->daemon);
    MHD_run(listener->daemon);
    MHD_UNSIGNED_LONG_LONG timeout = 0;
    // Connections a run closes go at its end, after it looked at the listening
    // socket, which a full daemon had taken out of its set: only the next run
    // puts it back, and no event would come for that run once every client
    // has left. So a run that freed places is followed by another at once.
    if (currentConnections(listener->daemon) < before)
        listener->timer->start(0);
    else if (MHD_get_timeout(listener->daemon, &timeout) == MHD_YES)
        listener->timer->start(int(qMin<MHD_UNSIGNED_LONG_LONG>(timeout, 60000)));
    else
        listener->timer->stop();
}

void HttpServer::runAll()
{
    for (Listener &listener : m_listeners)
        run(&listener);
}

unsigned HttpServer::currentConnections(MHD_Daemon *daemon)
{
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
    return info ? info->num_connections : 0;
}

int HttpServer::connectionCount() const
{
    int count = 0;
    for (const Listener &listener : m_listeners)
        count += int(currentConnections(listener.daemon));
    return count;
}

bool HttpServer::tooManyWrongLogins(const QString &peer)
{
    QVector<qint64> &times = m_wrongLogins[peer];
    const qint64 now = m_clock.elapsed();
    times.erase(std::remove_if(times.begin(), times.end(), [now](qint64 at) { return now - at > WrongLoginWindowMs; }),
                times.end());
    const int recent = int(times.size());
    if (recent == 0)
        m_wrongLogins.remove(peer); // times is gone with it
    return recent >= LoginAttempts;
}

bool HttpServer::loggedIn(MHD_Connection *connection, const QString &peer, QString *user)
{
    if (m_config.users.isEmpty())
        return true;
    char *password = nullptr;
    char *name = MHD_basic_auth_get_username_password(connection, &password);
    const QString who = QString::fromUtf8(name ? name : "");
    const QByteArray secret(password ? password : "");
    MHD_free(name);
    if (password) {
        sodium_memzero(password, strlen(password));
        MHD_free(password);
    }
    const auto refuse = [&](int status, const QString &message) {
        HttpResponse reply = HttpResponse::text(status, message);
        MHD_Response *response = MHD_create_response_from_buffer(
            size_t(reply.body.size()), const_cast<char *>(reply.body.constData()), MHD_RESPMEM_MUST_COPY);
        MHD_add_response_header(response, "Content-Type", reply.contentType.constData());
        if (status == 429)
            MHD_add_response_header(response, "Retry-After", "60");
        if (status == 401)
            MHD_queue_basic_auth_fail_response(connection, "Frostgauge", response);
        else
            MHD_queue_response(connection, unsigned(status), response);
        MHD_destroy_response(response);
        return false;
    };
    if (who.isEmpty())
        return refuse(401, QStringLiteral("a login is needed"));
    if (tooManyWrongLogins(peer))
        return refuse(429, QStringLiteral("too many wrong logins from %1; try again in a minute").arg(peer));
    QByteArray key(crypto_generichash_BYTES, '\0');
    const QByteArray both = who.toUtf8() + '\0' + secret;
    crypto_generichash(reinterpret_cast<unsigned char *>(key.data()), size_t(key.size()),
                       reinterpret_cast<const unsigned char *>(both.constData()), size_t(both.size()),
                       reinterpret_cast<const unsigned char *>(m_loginKey.constData()), size_t(m_loginKey.size()));
    const qint64 now = m_clock.elapsed();
    const auto known = m_goodLogins.constFind(key);
    if (known != m_goodLogins.constEnd() && now - known.value() < GoodLoginMs) {
        *user = who;
        return true;
    }
    if (!checkHttpLogin(m_config.users, who, secret)) {
        m_wrongLogins[peer].append(now);
        qCWarning(lcMonitor).noquote() << QStringLiteral("http: wrong login for user %1 from %2").arg(who, peer);
        return refuse(401, QStringLiteral("wrong user or password"));
    }
    if (m_goodLogins.size() > 1000)
        m_goodLogins.clear();
    m_goodLogins.insert(key, now);
    *user = who;
    return true;
}

int HttpServer::answer(MHD_Connection *connection, const char *url, const char *method, void **state)
{
    if (!*state) {
        *state = &HeadersSeen;
        return true;
    }
    HttpRequest request;
    request.method = QString::fromLatin1(method);
    request.path = QString::fromUtf8(url);
    request.peer = peerOf(connection);
    if (request.method != QLatin1String("GET") && request.method != QLatin1String("HEAD")
        && request.method != QLatin1String("POST")) {
        HttpResponse refused = HttpResponse::text(405, QStringLiteral("only GET, HEAD and POST are served"));
        refused.headers.append(qMakePair(QByteArray("Allow"), QByteArray("GET, HEAD, POST")));
        return queue(connection, refused);
    }
    if (!loggedIn(connection, request.peer, &request.user))
        return true;
    if (request.method == QLatin1String("POST")) {
        const auto *body = static_cast<const PostBody *>(*state);
        if (body->tooLarge)
            return queue(connection,
                         HttpResponse::text(
                             413, QStringLiteral("a request's body holds %1 bytes at the most").arg(MaxBodyBytes)));
        request.body = body->bytes;
        // A page of another site may make a browser post here with the login
        // it remembers: a write must come as JSON (which such a page cannot
        // send without asking first) and, from a browser, from this origin.
        request.contentType = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Type");
        const char *origin = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Origin");
        const char *host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
        if (!request.contentType.startsWith("application/json"))
            return queue(connection, HttpResponse::text(415, QStringLiteral("a write takes application/json")));
        if (origin && (!host || QUrl(QString::fromLatin1(origin)).authority() != QString::fromLatin1(host)))
            return queue(connection,
                         HttpResponse::text(403, QStringLiteral("a write from another site's page is refused")));
    }
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &collectArgument, &request.query);
    const HttpResponse reply = m_handler(request);
    if (!reply.stream)
        return queue(connection, reply);

    auto *stream = new Stream{this, connection, reply.body};
    MHD_Response *response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &streamReader, stream, &streamFreed);
    if (!response) {
        delete stream;
        return false;
    }
    m_streams.append(stream);
    MHD_add_response_header(response, "Content-Type", "text/event-stream");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    for (const auto &header : reply.headers)
        MHD_add_response_header(response, header.first.constData(), header.second.constData());
    const bool queued = MHD_queue_response(connection, unsigned(reply.status), response) == MHD_YES;
    MHD_destroy_response(response);
    return queued;
}

long long HttpServer::readStream(Stream *stream, char *buffer, size_t max)
{
    if (stream->dropped || !m_running)
        return MHD_CONTENT_READER_END_WITH_ERROR;
    if (stream->waiting.isEmpty()) {
        // Nothing to send: the connection sleeps until broadcast() wakes it.
        stream->suspended = true;
        MHD_suspend_connection(stream->connection);
        return 0;
    }
    const int n = int(qMin<size_t>(max, size_t(stream->waiting.size())));
    std::memcpy(buffer, stream->waiting.constData(), size_t(n));
    stream->waiting.remove(0, n);
    return n;
}

void HttpServer::streamClosed(Stream *stream)
{
    m_streams.removeOne(stream);
    delete stream;
}

void HttpServer::broadcast(const QByteArray &event)
{
    bool woke = false;
    for (Stream *stream : qAsConst(m_streams)) {
        if (stream->dropped)
            continue;
        if (stream->waiting.size() + event.size() > MaxStreamBacklog) {
            // A client that does not read is let go rather than fed without end.
            stream->dropped = true;
            stream->waiting.clear();
        } else {
            stream->waiting.append(event);
        }
        if (stream->suspended) {
            stream->suspended = false;
            MHD_resume_connection(stream->connection);
            woke = true;
        }
    }
    // Not from inside the library's own run: on the loop's next turn.
    if (woke)
        QMetaObject::invokeMethod(this, &HttpServer::runAll, Qt::QueuedConnection);
}
