#pragma once

// Parsing one command's arguments with QCommandLineParser.

#include <QCommandLineParser>
#include <QStringList>

// Parses arguments (those after the command's name) against parser's options.
// On an unknown option or a missing value it prints the usage error and returns
// its exit code; Success otherwise.
int parseCommandLine(const QString &command, QCommandLineParser &parser, const QStringList &arguments);

// What every command that talks to an instrument has besides its own options.
struct PortArguments {
    QStringList positional; // PORT first
    int timeoutMs = 5000;
    bool timeoutGiven = false;
};

// Adds --timeout to parser, parses, and checks the timeout and that a PORT is
// given. Prints the error and returns its exit code; Success otherwise.
int parsePortCommand(const QString &command, QCommandLineParser &parser, const QStringList &arguments,
                     PortArguments *parsed);
