#include "line-instrument.h"

#include <QLocale>
#include <QTimer>

QStringList LineInstrument::faultNames()
{
    return {QStringLiteral("none"),   QStringLiteral("error"),   QStringLiteral("garbage"),
            QStringLiteral("silent"), QStringLiteral("partial"), QStringLiteral("no-terminator"),
            QStringLiteral("binary"), QStringLiteral("endless")};
}

LineInstrument::LineInstrument(const LineProtocol &protocol, const QString &serial, Fault fault, QObject *parent)
    : QObject(parent), m_protocol(protocol), m_serial(serial), m_fault(fault)
{
    for (int i = 0; i < m_protocol.channels.size(); ++i) {
        const LineChannel &channel = m_protocol.channels.at(i);
        double value = 0;
        if (channel.states.isEmpty()) {
            value = QLocale::c().toDouble(channel.simValue);
        } else {
            for (int s = 0; s < channel.states.size(); ++s) {
                if (channel.states.at(s).first == channel.simValue)
                    value = s;
            }
        }
        m_values.append(value);
        // A channel without query is sent by itself; a state changes on its own.
        const bool unasked = channel.query.isEmpty();
        if ((unasked || !channel.states.isEmpty()) && channel.simEveryMs > 0) {
            auto *timer = new QTimer(this);
            connect(timer, &QTimer::timeout, this, [this, i, unasked] {
                if (unasked)
                    answer(render(m_protocol.channels.at(i).simReply));
                else
                    m_values[i] = double((int(m_values.at(i)) + 1) % m_protocol.channels.at(i).states.size());
            });
            timer->start(channel.simEveryMs);
        }
    }
}

void LineInstrument::receive(const QByteArray &bytes)
{
    const QByteArray &end = m_protocol.outTerminator;
    if (end.isEmpty()) {
        command(bytes);
        return;
    }
    m_input += bytes;
    int at;
    while ((at = m_input.indexOf(end)) >= 0) {
        const QByteArray line = m_input.left(at);
        m_input.remove(0, at + end.size());
        command(line);
    }
    if (m_input.size() > 65536)
        m_input.clear();
}

void LineInstrument::command(const QByteArray &command)
{
    if (m_fault == Fault::Silent)
        return;
    if (!m_protocol.identify.isEmpty() && command == m_protocol.identify) {
        QString form = m_protocol.simIdentify;
        answer(form.replace(QStringLiteral("{serial}"), m_serial).toUtf8());
        return;
    }
    for (const LineChannel &channel : qAsConst(m_protocol.channels)) {
        if (channel.query.isEmpty() || channel.query != command)
            continue;
        switch (m_fault) {
        case Fault::Error:
            answer(m_protocol.simError.toUtf8());
            return;
        case Fault::Garbage:
            answer("#?%&!");
            return;
        case Fault::Partial: {
            const QByteArray reply = render(channel.simReply);
            emit send(reply.left(qMax(1, reply.size() / 2)));
            return;
        }
        case Fault::NoTerminator:
            emit send(render(channel.simReply));
            return;
        case Fault::Binary:
            answer(QByteArray("\x01\x02\xff\xfe", 4));
            return;
        case Fault::Endless:
            emit send(QByteArray(10000, '7'));
            return;
        default:
            answer(render(channel.simReply));
            return;
        }
    }
    // A command it does not know, or one that sets something (init): an
    // error for the one, nothing for the other, as instruments do.
    if (!m_protocol.init.contains(command))
        answer(m_protocol.simError.toUtf8());
}

void LineInstrument::answer(const QByteArray &reply)
{
    ++m_replies;
    QByteArray bytes = reply;
    if (m_protocol.inTerminator.isEmpty() && m_protocol.replyLength > 0)
        bytes = bytes.leftJustified(m_protocol.replyLength, ' ', true);
    emit send(bytes + m_protocol.inTerminator);
}

QByteArray LineInstrument::render(const QString &form)
{
    QString text = form;
    for (int i = 0; i < m_protocol.channels.size(); ++i) {
        const QString placeholder = QStringLiteral("{%1}").arg(m_protocol.channels.at(i).name);
        if (!text.contains(placeholder))
            continue;
        move(i);
        text.replace(placeholder, valueText(i));
    }
    return text.toUtf8();
}

QString LineInstrument::valueText(int channel) const
{
    const LineChannel &about = m_protocol.channels.at(channel);
    if (!about.states.isEmpty())
        return about.states.at(int(m_values.at(channel))).first;
    // What the instrument sends is the number before scale and offset.
    return QString::number(m_values.at(channel), 'g', 6);
}

void LineInstrument::move(int channel)
{
    const LineChannel &about = m_protocol.channels.at(channel);
    if (!about.states.isEmpty() || about.simStep == 0)
        return;
    m_values[channel] *= 1 + about.simStep * (2 * m_random.generateDouble() - 1);
}
