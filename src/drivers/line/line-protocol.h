#pragma once

// A line instrument described by a protocol file: how its serial line is set,
// how its commands and replies end, how long it may take, how it identifies
// itself, and its channels, each a value taken from a reply with a regular
// expression. The same file tells the simulator how to play the instrument
// (the sim_ keys). See doc/protocols.md.

#include "drivers/port-stream.h"

#include <QByteArray>
#include <QPair>
#include <QRegularExpression>
#include <QString>
#include <QVector>

#include <cfloat>

struct LineChannel {
    QString name;
    QByteArray query; // empty: read from the lines the instrument sends by itself
    QRegularExpression reply;
    int field = 1;     // the capture group, by number ...
    QString fieldName; // ... or by name when not empty
    QString unit;      // empty: a state or a count
    double scale = 1;  // value = number * scale + offset
    double offset = 0;
    QVector<QPair<QString, double>> states; // a word and the number it stands for
    double lowest = -DBL_MAX;               // a value outside (lowest, highest] is no reading
    double highest = DBL_MAX;
    int line = 0; // where the section starts in the file

    // For the simulator.
    QString simValue;      // the first value (a number, or a state's word)
    double simStep = 0;    // each reading moves by up to this share of the value
    QString simReply;      // the reply to the channel's query; {NAME} is a channel's value
    int simEveryMs = 1000; // how often a channel without query is sent, or a state changes (0: never)

    // The value a capture stands for; false with why set when it stands for none.
    bool valueOf(const QString &capture, double *value, QString *why) const;
    QString capture(const QRegularExpressionMatch &match) const;
};

struct LineProtocol {
    QString path;
    QString description;
    SerialLine serial = {9600, 8, SerialLine::NoParity, 1, SerialLine::NoFlow};
    QByteArray outTerminator = "\n";
    QByteArray inTerminator = "\n"; // empty: a reply ends after quiet or replyLength bytes
    int replyLength = 0;
    int replyTimeoutMs = 1000;
    int readTimeoutMs = 100;
    int gapMs = 0;
    QByteArray identify;
    QRegularExpression identifyReply; // named groups serial, model, version, manufacturer
    QVector<QByteArray> init;
    QRegularExpression errorReply; // empty pattern: none
    QVector<LineChannel> channels;

    // For the simulator.
    QString simIdentify = QStringLiteral("SIM,LINE-1,{serial},1.0"); // {serial} is the simulator's
    QString simError = QStringLiteral("ERROR");                      // what --fault error answers

    // Whether the instrument's line ends are CR, LF or CR-LF, of which any
    // mix ends a line.
    bool endsLinesByCrOrLf() const;
};

// Reads a protocol file. False with error as "FILE: line N: [SECTION] KEY: what".
bool loadLineProtocol(const QString &path, LineProtocol *protocol, QString *error);
// Where a protocol= value leads: a path (it holds a '/' or ends in .conf) as
// given, a name as NAME.conf in /etc/frostgauge/protocols, then in the
// shipped folder. Empty with error set when there is none.
QString findLineProtocol(const QString &value, QString *error);
// The protocol folders searched, in order.
QStringList lineProtocolFolders();
// "\r\n" and the like made bytes; false with why for an escape not known.
bool unescapeLineBytes(const QString &text, QByteArray *bytes, QString *why);
// Bytes written for a person: printable as they are, the rest escaped.
QString escapeLineBytes(const QByteArray &bytes);
