#include "drivers/line/line-driver.h"

#include "drivers/port-stream.h"

#include <QFileInfo>
#include <QTextCodec>
#include <QTimer>

namespace {

// A reply is text: UTF-8 without control bytes other than a tab.
bool isText(const QByteArray &bytes)
{
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f)
            return false;
    }
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

// A reply as it is quoted in an event: escaped, and not endless.
QString quoted(const QByteArray &bytes)
{
    constexpr int Longest = 80;
    const QString text = escapeLineBytes(bytes.left(Longest));
    return QStringLiteral("'%1'%2").arg(text, bytes.size() > Longest ? QStringLiteral("...") : QString());
}

} // namespace

LineDriver::LineDriver(const DriverOptions &options, QObject *parent)
    : InstrumentDriver(parent), m_options(options), m_stream(new PortStream(this)),
      m_framer(options.protocol.inTerminator, options.protocol.endsLinesByCrOrLf(), options.protocol.replyLength),
      m_replyTimer(new QTimer(this)), m_gapTimer(new QTimer(this)), m_pollTimer(new QTimer(this))
{
    const LineProtocol &protocol = m_options.protocol;
    for (const LineChannel &channel : protocol.channels) {
        if (!options.channels.isEmpty() && !options.channels.contains(channel.name))
            continue;
        const int index = m_channels.size();
        m_channels.append(channel);
        if (channel.query.isEmpty()) {
            m_unasked.append(index);
            continue;
        }
        auto same = std::find_if(m_queries.begin(), m_queries.end(),
                                 [&](const Query &query) { return query.command == channel.query; });
        if (same == m_queries.end())
            m_queries.append({channel.query, {index}});
        else
            same->channels.append(index);
    }
    m_replyTimer->setSingleShot(true);
    m_gapTimer->setSingleShot(true);
    m_pollTimer->setSingleShot(true);
    connect(m_replyTimer, &QTimer::timeout, this, &LineDriver::quietOrLate);
    connect(m_gapTimer, &QTimer::timeout, this, &LineDriver::next);
    connect(m_pollTimer, &QTimer::timeout, this, &LineDriver::startPoll);
    connect(m_stream, &PortStream::opened, this, &LineDriver::opened);
    connect(m_stream, &PortStream::received, this, &LineDriver::received);
    connect(m_stream, &PortStream::lost, this, &LineDriver::portLost);
}

QVector<InstrumentChannel> LineDriver::channels() const
{
    QVector<InstrumentChannel> channels;
    for (const LineChannel &channel : m_channels)
        channels.append({channel.name, channel.unit, channel.lowest, channel.highest});
    return channels;
}

bool LineDriver::open(const QString &port)
{
    close();
    m_port = port;
    QString why;
    if (!m_stream->open(port, m_options.protocol.serial, &why))
        return false;
    m_step = Step::Connecting;
    return true;
}

void LineDriver::close()
{
    m_stream->close();
    m_replyTimer->stop();
    m_gapTimer->stop();
    m_pollTimer->stop();
    m_framer.clear();
    m_step = Step::Closed;
    m_awaited = -2;
    m_draining = false;
    m_silent = 0;
    m_saidSilent = false;
    m_bursts.clear();
}

bool LineDriver::isOpen() const
{
    return m_step != Step::Closed;
}

qint64 LineDriver::bytesNotYetSent() const
{
    return m_stream->bytesToWrite();
}

void LineDriver::portLost(const QString &reason)
{
    close();
    emit lost(reason);
}

void LineDriver::opened()
{
    const LineProtocol &protocol = m_options.protocol;
    if (!protocol.identify.isEmpty()) {
        m_step = Step::Identifying;
        exchange(protocol.identify, -1);
        return;
    }
    // Nothing to ask: the description names the instrument.
    emit answered();
    accept({QString(),
            protocol.description.isEmpty() ? QFileInfo(protocol.path).completeBaseName() : protocol.description,
            QString(), QString()});
}

void LineDriver::accept(const InstrumentIdentity &identity)
{
    const QString problem = identityProblem(identity);
    if (!problem.isEmpty()) {
        emit refused(problem);
        return;
    }
    m_identity = identity;
    m_step = Step::Initialising;
    m_next = 0;
    exchangeDone(); // the init commands, after the gap
}

void LineDriver::identifyAgain()
{
    if (m_step == Step::Identifying && m_awaited == -2 && !m_draining)
        exchange(m_options.protocol.identify, -1);
}

void LineDriver::exchange(const QByteArray &command, int query)
{
    // A piece of a line from before is no part of this reply.
    m_framer.clear();
    const QByteArray bytes = command + m_options.protocol.outTerminator;
    m_stream->write(bytes);
    emit sent(bytes);
    m_lastCommand = command;
    m_awaited = query;
    m_replyTimer->start(m_options.protocol.replyTimeoutMs);
}

void LineDriver::received(const QByteArray &bytes)
{
    emit InstrumentDriver::received(bytes);
    const QVector<QByteArray> replies = m_framer.feed(bytes);
    if (const int overlong = m_framer.takeOverlong())
        problem(Problem::Unreadable, -1,
                QStringLiteral("%1 line(s) of more than %2 bytes without their end; dropped")
                    .arg(overlong)
                    .arg(LineFramer::LongestLine));
    for (const QByteArray &bytes : replies) {
        reply(bytes);
        if (m_step == Step::Closed)
            return;
    }
    // A reply under way has the quiet time between its bytes; a reply without
    // terminator ends with that quiet.
    if (m_framer.holding() && (m_awaited != -2 || m_options.protocol.inTerminator.isEmpty()))
        m_replyTimer->start(m_options.protocol.readTimeoutMs);
}

void LineDriver::quietOrLate()
{
    const LineProtocol &protocol = m_options.protocol;
    if (m_framer.holding()) {
        if (protocol.inTerminator.isEmpty()) {
            reply(m_framer.flush());
            return;
        }
        m_framer.clear();
        problem(Problem::BadReply, m_awaited >= 0 ? m_awaited : -1,
                QStringLiteral("a reply to '%1' cut short: no %2 came within %3 ms of its last byte")
                    .arg(escapeLineBytes(m_lastCommand), escapeLineBytes(protocol.inTerminator))
                    .arg(protocol.readTimeoutMs));
        if (m_awaited != -2)
            exchangeDone();
        return;
    }
    if (m_draining) {
        m_draining = false;
        next();
        return;
    }
    const int awaited = m_awaited;
    m_awaited = -2;
    if (m_step == Step::Identifying)
        return; // asked again by the link, at growing intervals
    if (m_step == Step::Initialising) {
        next(); // a setting command may well have no reply
        return;
    }
    if (awaited < 0)
        return;
    problem(Problem::NoReply, awaited,
            QStringLiteral("no reply to '%1' within %2 ms")
                .arg(escapeLineBytes(m_lastCommand))
                .arg(protocol.replyTimeoutMs));
    // A whole round of questions without any reply: the instrument is silent.
    if (++m_silent >= qMax(2, int(m_queries.size())) && !m_saidSilent) {
        m_saidSilent = true;
        emit event(EventKind::NoAnswer,
                   QStringLiteral("no reply to any of the last %1 queries on %2; asking on").arg(m_silent).arg(m_port));
    }
    // A reply that comes late is not the next question's: it is let go first.
    m_draining = true;
    m_replyTimer->start(protocol.replyTimeoutMs);
}

void LineDriver::reply(const QByteArray &bytes)
{
    m_silent = 0;
    if (m_saidSilent) {
        m_saidSilent = false;
        emit event(EventKind::AnsweringAgain, QStringLiteral("replies on %1 again").arg(m_port));
    }
    const int awaited = m_awaited;
    if (!isText(bytes)) {
        problem(Problem::Unreadable, awaited >= 0 ? awaited : -1,
                QStringLiteral("a reply that is not text: %1").arg(quoted(bytes)));
        if (awaited != -2 && !m_draining)
            exchangeDone();
        return;
    }
    const QString text = QString::fromUtf8(bytes);
    if (m_draining) {
        unasked(text); // a late reply goes; a line sent by itself is read
        return;
    }
    const QRegularExpression &error = m_options.protocol.errorReply;
    const bool isError = !error.pattern().isEmpty() && error.match(text).hasMatch();
    if (awaited == -1) {
        if (m_step == Step::Identifying) {
            m_replyTimer->stop();
            m_awaited = -2;
            identified(text);
        } else {
            if (isError)
                problem(Problem::ErrorReply, -1,
                        QStringLiteral("'%1' answered %2").arg(escapeLineBytes(m_lastCommand), quoted(bytes)));
            exchangeDone();
        }
        return;
    }
    if (awaited >= 0) {
        const Query &query = m_queries.at(awaited);
        if (isError) {
            problem(Problem::ErrorReply, awaited,
                    QStringLiteral("'%1' answered %2").arg(escapeLineBytes(query.command), quoted(bytes)));
            good(Problem::NoReply, awaited);
            exchangeDone();
            return;
        }
        const bool meant = std::any_of(query.channels.cbegin(), query.channels.cend(), [&](int channel) {
            return m_channels.at(channel).reply.match(text).hasMatch();
        });
        // A line the instrument sends by itself may come while it is asked.
        if (!meant && unasked(text))
            return;
        queryReply(awaited, text);
        exchangeDone();
        return;
    }
    if (unasked(text))
        return;
    if (isError)
        problem(Problem::ErrorReply, -1, QStringLiteral("unasked, it said %1").arg(quoted(bytes)));
    else
        problem(Problem::BadReply, -1, QStringLiteral("a line nobody asked for: %1").arg(quoted(bytes)));
}

void LineDriver::identified(const QString &text)
{
    emit answered();
    const LineProtocol &protocol = m_options.protocol;
    const QRegularExpressionMatch match = protocol.identifyReply.match(text);
    if (!match.hasMatch()) {
        emit refused(QStringLiteral("%1 answered identification with %2, which is not the identify_reply of %3")
                         .arg(m_port, quoted(text.toUtf8()), protocol.path));
        return;
    }
    const QStringList groups = protocol.identifyReply.namedCaptureGroups();
    auto part = [&](const QString &name) { return groups.contains(name) ? match.captured(name).trimmed() : QString(); };
    InstrumentIdentity identity{part(QStringLiteral("manufacturer")), part(QStringLiteral("model")),
                                part(QStringLiteral("serial")), part(QStringLiteral("version"))};
    if (identity.model.isEmpty())
        identity.model = protocol.description;
    accept(identity);
}

void LineDriver::queryReply(int index, const QString &text)
{
    const Query &query = m_queries.at(index);
    QStringList whys;
    for (const int channel : query.channels) {
        QString why;
        if (!readChannel(channel, text, &why))
            whys << why;
    }
    good(Problem::NoReply, index);
    good(Problem::ErrorReply, index);
    good(Problem::Unreadable, index);
    if (whys.isEmpty())
        good(Problem::BadReply, index);
    else
        problem(Problem::BadReply, index,
                QStringLiteral("'%1' answered %2: %3")
                    .arg(escapeLineBytes(query.command), quoted(text.toUtf8()), whys.join(QLatin1String("; "))));
}

bool LineDriver::unasked(const QString &text)
{
    bool matched = false;
    QStringList whys;
    for (const int channel : qAsConst(m_unasked)) {
        if (!m_channels.at(channel).reply.match(text).hasMatch())
            continue;
        matched = true;
        QString why;
        if (!readChannel(channel, text, &why))
            whys << why;
    }
    if (!matched)
        return false;
    if (whys.isEmpty())
        good(Problem::BadReply, -1);
    else
        problem(Problem::BadReply, -1,
                QStringLiteral("%1: %2").arg(quoted(text.toUtf8()), whys.join(QLatin1String("; "))));
    return true;
}

bool LineDriver::readChannel(int channel, const QString &text, QString *why)
{
    const LineChannel &about = m_channels.at(channel);
    const QRegularExpressionMatch match = about.reply.match(text);
    if (!match.hasMatch()) {
        *why = QStringLiteral("%1 does not match reply=").arg(about.name);
        return false;
    }
    double value = 0;
    QString whyNot;
    if (!about.valueOf(about.capture(match), &value, &whyNot)) {
        *why = QStringLiteral("%1: %2").arg(about.name, whyNot);
        return false;
    }
    emit reading(channel, value);
    return true;
}

void LineDriver::exchangeDone()
{
    m_replyTimer->stop();
    m_awaited = -2;
    // The next question goes after the gap, and never before the rest of
    // what came with this reply is read: that is no answer to it.
    m_gapTimer->start(m_options.protocol.gapMs);
}

void LineDriver::next()
{
    if (m_step == Step::Initialising) {
        const QVector<QByteArray> &init = m_options.protocol.init;
        if (m_next < init.size()) {
            exchange(init.at(m_next++), -1);
            return;
        }
        m_step = Step::Polling;
        emit connected(m_identity);
        startPoll();
        return;
    }
    if (m_step != Step::Polling)
        return;
    if (m_next < m_queries.size()) {
        const int index = m_next++;
        exchange(m_queries.at(index).command, index);
        return;
    }
    // The round is over: the next begins a period after this one began.
    if (!m_queries.isEmpty()) {
        emit roundDone();
        const int period = m_options.periodMs > 0 ? m_options.periodMs : DefaultPeriodMs;
        m_pollTimer->start(int(qMax<qint64>(0, period - m_round.elapsed())));
    }
}

void LineDriver::startPoll()
{
    if (m_step != Step::Polling)
        return;
    m_round.start();
    m_next = 0;
    next();
}

void LineDriver::problem(Problem kind, int query, const QString &detail)
{
    Burst &burst = m_bursts[{int(kind), query}];
    if (burst.count++ == 0) {
        burst.first = detail;
        emit event(kind == Problem::ErrorReply ? EventKind::ErrorReply : EventKind::BadReply, detail);
    }
}

void LineDriver::good(Problem kind, int query)
{
    const auto found = m_bursts.find({int(kind), query});
    if (found == m_bursts.end())
        return;
    // A burst of one was said when it came; a longer one is said again as it ends.
    if (found->count > 1)
        emit event(kind == Problem::ErrorReply ? EventKind::ErrorReply : EventKind::BadReply,
                   QStringLiteral("%1 in a row, ended now; the first: %2").arg(found->count).arg(found->first));
    m_bursts.erase(found);
}
