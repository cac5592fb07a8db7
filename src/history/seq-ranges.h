#pragma once

// A set of sequence numbers kept as ranges: what an archive holds of one
// remote instrument. A run without gaps is one range, whatever its length.

#include <QVector>
#include <QtGlobal>

#include <map>

struct SeqRange {
    qint64 first = 0;
    qint64 last = 0;
    bool operator==(const SeqRange &other) const { return first == other.first && last == other.last; }
};

class SeqRanges
{
public:
    bool contains(qint64 seq) const;
    // False when it was there already.
    bool insert(qint64 seq);
    void insertRange(qint64 first, qint64 last);
    void remove(qint64 seq);
    bool isEmpty() const { return m_ranges.empty(); }
    // The highest number held; 0 when empty.
    qint64 highest() const;
    int rangeCount() const { return int(m_ranges.size()); }
    QVector<SeqRange> ranges() const;
    // The numbers in [first, last] not held, as at most limit ranges, lowest first.
    QVector<SeqRange> missing(qint64 first, qint64 last, int limit) const;
    // How many numbers in [first, last] are held.
    qint64 countIn(qint64 first, qint64 last) const;

private:
    std::map<qint64, qint64> m_ranges; // first -> last, apart and not touching
};
