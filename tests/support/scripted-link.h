#pragma once

// The instrument's side of a Device link with no terminal in between: what the
// Device writes is kept for the test to take, and what the test plays arrives
// as one read that the Device has handled when play() returns. Nothing waits
// on a clock; a pseudo-terminal is for what only a terminal shows.

#include "device/device-serial.h"

#include <QIODevice>

#include <cstring>
#include <utility>

class ScriptedLink : public QIODevice
{
public:
    ScriptedLink() { open(QIODevice::ReadWrite | QIODevice::Unbuffered); }

    // Bytes from the instrument.
    void play(const QByteArray &bytes)
    {
        m_incoming += bytes;
        emit readyRead();
    }
    // Everything the Device wrote since the last take.
    QByteArray take() { return std::exchange(m_written, QByteArray()); }
    // The far end goes away.
    void hangUp() { emit readChannelFinished(); }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_incoming.size() + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = qMin<qint64>(maxSize, m_incoming.size());
        memcpy(data, m_incoming.constData(), size_t(n));
        m_incoming.remove(0, int(n));
        return n;
    }
    qint64 writeData(const char *data, qint64 size) override
    {
        m_written.append(data, int(size));
        return size;
    }

private:
    QByteArray m_incoming;
    QByteArray m_written;
};

// A Device on a scripted link, the opening bytes already taken.
struct DeviceOnLink {
    ScriptedLink instrument;
    Device device;
    QByteArray opening;

    DeviceOnLink()
    {
        device.openLink(&instrument);
        opening = instrument.take();
    }

    // Plays one line from the instrument and returns what the device answered.
    QByteArray reply(const QByteArray &line)
    {
        instrument.play(line + "\n");
        return instrument.take();
    }
};
