#pragma once

// How long a test waits for what it expects before it gives up.
//
// Every wait is on a condition (bytes on a line, a line in a log, a row in a
// store, a process ended), so a generous limit costs nothing when the program
// works: it only decides how long a failure takes to be reported. The limits
// are sized for the sanitizer build on a loaded machine, and
// FROSTGAUGE_TEST_TIME_SCALE (default 1) multiplies every one of them, so a
// slower machine gets more time without editing a test.

#include <QElapsedTimer>
#include <QTest>
#include <QtGlobal>

#include <cmath>

// The factor from FROSTGAUGE_TEST_TIME_SCALE; 1 when it is unset or not a
// number of at least 1 (a limit is never shortened).
inline double waitScale()
{
    static const double scale = [] {
        bool ok = false;
        const double value = qEnvironmentVariable("FROSTGAUGE_TEST_TIME_SCALE").toDouble(&ok);
        return ok && std::isfinite(value) && value >= 1.0 && value <= 1000.0 ? value : 1.0;
    }();
    return scale;
}

// The limit of one wait, in milliseconds.
constexpr int DefaultWaitLimitMs = 30000;

inline int limitMs(int ms = DefaultWaitLimitMs)
{
    return int(ms * waitScale());
}

// Runs the event loop until done() holds; false when the limit passed first.
// For waits that a test acts on rather than asserts (ask again until
// answered), and for conditions that take time to look at (a process, a
// request): QTRY_* counts its tries as 50 ms each whatever they took, so a
// curl of 10 s a try would wait 600 times the limit. QTRY_VERIFY_WITH_TIMEOUT(...,
// limitMs()) where a quick condition is asserted.
template <typename Condition>
bool waitUntil(Condition done, int timeoutMs = limitMs())
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(20);
    }
    return true;
}
