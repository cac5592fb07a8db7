#pragma once

#include <QString>

// How the command-line programs end on a failure: "PROGRAM: message" on
// standard error, and the exit status to return (1 failure, 2 usage or bad input).
int exitWith(int status, const QString &message);
