#pragma once

// What a facility archive reads from its sources' monitors, and what the two
// say to each other to fill a gap:
//
//   PREFIX/monitor/CLIENT_ID/replay     {"instrument":"cryo1","from_seq":5,"to_seq":90}
//   PREFIX/monitor/CLIENT_ID/replayed   {"instrument":"cryo1","readings":[[5,1765400000000,4.213],...]}
//                                       {"instrument":"cryo1","from_seq":5,"to_seq":90,"done":true,
//                                        "lost":[[7,9]],"last_seq":120}
//
// A chunk carries up to ChunkReadings readings as [seq, UTC ms, kelvin]. The
// last message of an answer says which numbers of the range the source's store
// no longer has ("lost": its retention deleted them, or they were dropped while
// its store could not be written), and the last number it has written.
//
// Everything read here comes from the network: each parser checks every field
// and says what was wrong in a kind of its own, so that the archive logs each
// kind once and stores nothing bad.

#include "history/seq-ranges.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

namespace ArchivePayloads {

constexpr int ChunkReadings = 1000;
// An answer covers this many numbers at the most; the archive asks again for more.
constexpr qint64 MaxAnswerSpan = 200000;
// Payloads larger than these are refused unread.
constexpr int MaxReadingBytes = 1024;
constexpr int MaxAnswerBytes = 256 * 1024;
// Numbers beyond JSON's exact integers never come from a monitor.
constexpr qint64 HighestSeq = (qint64(1) << 53) - 1;

enum class Problem {
    None,
    NotJson,
    BadField,  // a field missing or of the wrong type
    TooLarge,  // over the size above
    BadKelvin, // not a number, infinite, at or below 0 K or beyond 2000 K
    BadTime,   // before 2000 or more than a day ahead of the archive's clock
    BadSeq,    // not a whole number from 1 to HighestSeq
    BadValue,  // a channel's value that is not a finite number
    BadUnit,   // a channel's unit this monitor does not know
};
// A short text for the log: "not JSON", "a time decades away" ...
QString problemText(Problem problem);

struct RemoteReading {
    qint64 timeMs = 0;
    double kelvin = 0;
    qint64 seq = 0;
};

// A live reading as the source's monitor publishes it on PREFIX/INSTRUMENT/temperature.
Problem parseReading(const QByteArray &payload, qint64 nowMs, RemoteReading *reading);
// A line instrument's channel on PREFIX/INSTRUMENT:CHANNEL/value: any finite
// value, in a unit this monitor knows (none for a state).
Problem parseValueReading(const QByteArray &payload, qint64 nowMs, RemoteReading *reading, QString *unit);

struct ReplayRequest {
    QString instrument;
    qint64 fromSeq = 0;
    qint64 toSeq = 0;
};
QByteArray replayRequest(const ReplayRequest &request);
Problem parseReplayRequest(const QByteArray &payload, ReplayRequest *request);

QByteArray replayChunk(const QString &instrument, const QVector<RemoteReading> &readings);
QByteArray replayEnd(const ReplayRequest &answered, const QVector<SeqRange> &lost, qint64 lastSeq);

struct ReplayAnswer {
    QString instrument;
    QVector<RemoteReading> readings; // a chunk's
    bool done = false;               // the end of an answer: the fields below
    ReplayRequest answered;
    QVector<SeqRange> lost;
    qint64 lastSeq = 0;
    // Readings of a chunk that were refused, and the kind of the first.
    int refused = 0;
    Problem refusedProblem = Problem::None;
};
// A chunk's bad readings are left out and counted; the rest are kept. A
// series for which kelvin() is false is a channel in another unit: any finite
// value is one of its readings.
Problem parseReplayAnswer(const QByteArray &payload, qint64 nowMs, ReplayAnswer *answer,
                          const std::function<bool(const QString &instrument)> &kelvin = nullptr);

} // namespace ArchivePayloads
