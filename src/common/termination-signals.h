#pragma once

#include <QObject>

#include <functional>

// Runs handler on the event loop when SIGINT or SIGTERM arrives. The signal
// handler itself only writes a byte to a socket pair (all it may safely do);
// the loop sees the byte and calls handler, so pending work is written out
// rather than cut off. False when the socket pair cannot be made.
bool onTerminationSignals(QObject *context, std::function<void()> handler);
