#pragma once

// What an instrument says, apart from the port it says it on. A driver knows
// one kind of instrument: how it identifies itself, what it is sent when it
// is opened and after a restart, how its readings look and which states of
// its own keep it from measuring. The link around it (instrument-link.h)
// keeps what every instrument shares: reopening a lost port, the check that
// it is the instrument configured, a shared port's client, the count of
// values no channel can have, and the history's events.

#include "device/instrument-identity.h"
#include "drivers/line/line-protocol.h"
#include "history/history-event.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>

// One quantity an instrument measures.
struct InstrumentChannel {
    // Empty for an instrument's only channel: its readings are stored, published
    // and shown under the instrument's own name.
    QString name;
    QString unit; // as shown after a value: "K"
    // A value outside (lowest, highest] is not a reading: no sensor reports it.
    double lowest = 0;
    double highest = 0;
    bool holds(double value) const { return value > lowest && value <= highest; }
};

// The series a channel's readings are kept, published and shown under: an
// instrument's only channel has its name, each of several INSTRUMENT:CHANNEL
// (never SOURCE/INSTRUMENT, an archive's).
inline QString channelSeriesName(const QString &instrument, const QString &channel)
{
    return channel.isEmpty() ? instrument : instrument + QLatin1Char(':') + channel;
}

// What the configuration gives a driver; each reads what concerns it.
struct DriverOptions {
    // A period of output the instrument is set to at every connect and after a
    // restart (a line instrument: how often it is asked), in ms; 0: left alone.
    int periodMs = 0;
    // A line instrument's description, and the channels of it to read (all
    // when empty).
    LineProtocol protocol;
    QStringList channels;
    // The shared port's link, for the history's words ("a client of ...").
    QString share;
    // How long a client's maintenance holds the silence alarms at the most.
    int maintenanceLimitSeconds = 600;
};

class InstrumentDriver : public QObject
{
    Q_OBJECT

public:
    // Why an instrument that identified itself is not the one configured
    // (another serial number on the port); empty when it is.
    using IdentityCheck = std::function<QString(const InstrumentIdentity &identity)>;

    using QObject::QObject;

    virtual QVector<InstrumentChannel> channels() const = 0;
    // Opens the port and begins the opening exchange; false when the port cannot
    // be opened (nothing is then open).
    virtual bool open(const QString &port) = 0;
    // Closes the port without a word; the driver may be opened again.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // The instrument did not answer the opening exchange: it is asked again
    // (unless a client's exchange must not be interleaved with ours).
    virtual void identifyAgain() = 0;
    // A shared port's client: present or not, and a line it sends, which
    // reaches the instrument unchanged.
    virtual void setClientPresent(bool present) = 0;
    virtual void clientLine(const QByteArray &line) = 0;
    // Bytes written to the port that have not gone down the line yet.
    virtual qint64 bytesNotYetSent() const = 0;
    // The link stops: timers of the driver's own states stop too.
    virtual void stop() { close(); }

    void setIdentityCheck(IdentityCheck check) { m_identityCheck = std::move(check); }
    // A shared port passes the instrument on to one client at a time.
    void setShared(bool shared) { m_shared = shared; }
    bool isShared() const { return m_shared; }

signals:
    // The instrument answered identification, in whatever state: it is not
    // silent (and is not asked again for that), though it may not measure yet.
    void answered();
    // The configured instrument answered and measures: readings follow.
    void connected(const InstrumentIdentity &identity);
    // It identified itself again (after a maintenance, with a new version).
    void identityChanged(const InstrumentIdentity &identity);
    // Not an instrument to read (another one, or one in a state that is not
    // measuring): the link closes the port and looks again later.
    void refused(const QString &why);
    // The port went away; it is closed.
    void lost(const QString &reason);
    // A value of one of channels(), in its unit.
    void reading(int channel, double value);
    // Something of the instrument's own the history keeps: a client's setting,
    // a maintenance that began or ended.
    void event(EventKind kind, const QString &detail);
    // Every byte read from the port, as read: a shared port's client hears it.
    void received(const QByteArray &bytes);

protected:
    QString identityProblem(const InstrumentIdentity &identity) const
    {
        return m_identityCheck ? m_identityCheck(identity) : QString();
    }

private:
    IdentityCheck m_identityCheck;
    bool m_shared = false;
};
