#pragma once

#include <QObject>

#include <csignal>
#include <functional>
#include <initializer_list>

// Runs handler on the event loop, with the signal's number, when one of
// numbers arrives (SIGINT and SIGTERM unless told otherwise). The signal
// handler itself only writes the number to a socket pair (all it may safely
// do); the loop reads it and calls handler, so pending work is written out
// rather than cut off. False when the socket pair cannot be made.
bool onTerminationSignals(QObject *context, std::function<void(int signal)> handler,
                          std::initializer_list<int> numbers = {SIGINT, SIGTERM});
