#pragma once

// Notes: what a person writes at a time of the history ("LN2 refilled"). The
// same bounds hold whoever writes one: the command line, the viewer, the
// monitor's web page.

#include <QString>

constexpr int MaxNoteBytes = 1000;

// Empty when the text may be a note, else why not (empty, too long, not text).
QString noteProblem(const QString &text);
// Empty when a note may stand at timeMs, else why not: within the times the
// history's tools take, and not ahead of now by more than a minute.
QString noteTimeProblem(qint64 timeMs, qint64 nowMs);
// Who writes from this process: the login name.
QString currentUserName();
