#pragma once

// A pseudo-terminal set up as a serial line is: raw (no echo, no line editing,
// no signal from Ctrl-C, no carriage return added), its master end
// non-blocking and not inherited by programs we start.

#include <QString>

struct RawPseudoTerminal {
    int master = -1;
    int slave = -1;
    QString slavePath;
};

// False with error set (the system's reason) when no terminal can be made.
bool openRawPseudoTerminal(RawPseudoTerminal *terminal, QString *error);
