#pragma once

// A line instrument played from its protocol file: it answers identification
// and each channel's query with the file's sim_ forms, sends the lines of its
// channels without query by itself, and moves its values a little at each
// reading. A fault makes it answer badly, for tests of what reads it.

#include "drivers/line/line-protocol.h"

#include <QHash>
#include <QObject>
#include <QRandomGenerator>

class QTimer;

class LineInstrument : public QObject
{
    Q_OBJECT

public:
    enum class Fault { None, Error, Garbage, Silent, Partial, NoTerminator, Binary, Endless };
    // The names --fault takes; Fault(index) is the fault.
    static QStringList faultNames();

    LineInstrument(const LineProtocol &protocol, const QString &serial, Fault fault, QObject *parent = nullptr);
    // Bytes from the program that reads the instrument.
    void receive(const QByteArray &bytes);
    int repliesSent() const { return m_replies; }

signals:
    void send(const QByteArray &bytes);

private:
    void command(const QByteArray &command);
    void answer(const QByteArray &reply);
    // The reply form filled with each channel's value (moved on first).
    QByteArray render(const QString &form);
    QString valueText(int channel) const;
    void move(int channel);

    LineProtocol m_protocol;
    QString m_serial;
    Fault m_fault;
    QByteArray m_input;
    QVector<double> m_values; // numbers, or a state's index
    QRandomGenerator m_random{20261211};
    int m_replies = 0;
};
