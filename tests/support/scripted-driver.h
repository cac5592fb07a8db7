#pragma once

// An instrument played by the test behind the driver seam: no port, no
// protocol, no clock. The test opens or refuses the port, answers
// identification, measures and pulls the cable; the link and the monitor
// around it are the real ones.

#include "drivers/instrument-driver.h"

class ScriptedDriver : public InstrumentDriver
{
public:
    explicit ScriptedDriver(const QString &instrument) : instrument(instrument) {}

    const QString instrument;
    bool portThere = true; // open() succeeds
    QString openedPort;    // the path of the last open
    int opens = 0;
    int identifyAsks = 0; // asked again after silence
    QList<QByteArray> clientLines;

    QVector<InstrumentChannel> channels() const override { return {{QString(), QStringLiteral("K"), 0, 2000}}; }
    bool open(const QString &port) override
    {
        if (!portThere)
            return false;
        m_open = true;
        openedPort = port;
        ++opens;
        return true;
    }
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }
    void identifyAgain() override { ++identifyAsks; }
    void setClientPresent(bool) override {}
    void clientLine(const QByteArray &line) override { clientLines << line; }
    qint64 bytesNotYetSent() const override { return 0; }

    // The instrument answers identification: accepted, or refused by the link's check.
    void answer(const QString &serial)
    {
        const InstrumentIdentity identity{QStringLiteral("NORDA"), QStringLiteral("VKRHX350"), serial,
                                          QStringLiteral("1.3.2")};
        const QString problem = identityProblem(identity);
        if (problem.isEmpty())
            emit connected(identity);
        else
            emit refused(problem);
    }
    void measure(double kelvin) { emit reading(0, kelvin); }
    void pullCable(const QString &reason)
    {
        m_open = false;
        emit lost(reason);
    }

private:
    bool m_open = false;
};
