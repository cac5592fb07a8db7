#pragma once

// A Device opened on a pseudo-terminal, with the opening bytes already taken
// from the instrument's side: the starting point of the link-level tests.

#include "device/device-serial.h"
#include "pty-peer.h"

struct DeviceOnPty {
    PtyPeer peer;
    Device device;
    bool opened = false;

    DeviceOnPty()
    {
        opened = device.openPort(peer.path()) && peer.waitForBytes(8).size() == 8;
        peer.take();
    }

    // Plays one line from the instrument and returns what the device answered.
    QByteArray reply(const QByteArray &line)
    {
        peer.write(line + "\n");
        return peer.takeAfter();
    }
};
