#pragma once

// What the simulated cryostat's temperature does, so that alarms and pages
// can be tried before the real one: by default a cool-down from room
// temperature toward liquid helium; on request (the command line's --profile,
// or "*SIM profile ..." on the port) a cool-down of another time constant, a
// warm-up ramp, a step, a quench, or a reading stuck where it is. Each starts
// from the temperature of the moment it is asked for.

#include <QString>

class TemperatureProfile
{
public:
    // The forms set() takes, for messages.
    static QString forms();

    // Starts a profile at `seconds` (since power-on); false with why for a
    // text that is none, and the profile unchanged.
    bool set(const QString &text, double seconds, QString *why);
    // The temperature at `seconds`, with a little noise unless stuck.
    double kelvin(double seconds) const;

private:
    double exact(double seconds) const;

    enum Kind { Cool, Ramp, Step, Quench, Stuck };
    Kind m_kind = Cool;
    double m_startSeconds = 0;
    double m_from = 295.0;
    double m_to = 4.2;
    double m_rate = 120.0; // a cool-down's time constant (s), a ramp's K per second, a quench's duration (s)
};
