#include "history/seq-ranges.h"

#include <limits>

bool SeqRanges::contains(qint64 seq) const
{
    auto after = m_ranges.upper_bound(seq);
    if (after == m_ranges.begin())
        return false;
    --after;
    return seq <= after->second;
}

bool SeqRanges::insert(qint64 seq)
{
    if (contains(seq))
        return false;
    insertRange(seq, seq);
    return true;
}

void SeqRanges::insertRange(qint64 first, qint64 last)
{
    if (last < first)
        return;
    // Ranges that overlap or touch [first, last] are merged into it.
    auto it = m_ranges.upper_bound(first);
    if (it != m_ranges.begin()) {
        auto before = std::prev(it);
        if (before->second >= first - 1 || before->second == std::numeric_limits<qint64>::max()) {
            first = before->first;
            last = qMax(last, before->second);
            it = m_ranges.erase(before);
        }
    }
    while (it != m_ranges.end() && (last == std::numeric_limits<qint64>::max() || it->first <= last + 1)) {
        last = qMax(last, it->second);
        it = m_ranges.erase(it);
    }
    m_ranges.emplace(first, last);
}

void SeqRanges::remove(qint64 seq)
{
    auto it = m_ranges.upper_bound(seq);
    if (it == m_ranges.begin())
        return;
    --it;
    const qint64 first = it->first;
    const qint64 last = it->second;
    if (seq > last)
        return;
    m_ranges.erase(it);
    if (first < seq)
        m_ranges.emplace(first, seq - 1);
    if (seq < last)
        m_ranges.emplace(seq + 1, last);
}

qint64 SeqRanges::highest() const
{
    return m_ranges.empty() ? 0 : m_ranges.rbegin()->second;
}

QVector<SeqRange> SeqRanges::ranges() const
{
    QVector<SeqRange> result;
    result.reserve(int(m_ranges.size()));
    for (const auto &range : m_ranges)
        result.append({range.first, range.second});
    return result;
}

QVector<SeqRange> SeqRanges::missing(qint64 first, qint64 last, int limit) const
{
    QVector<SeqRange> result;
    if (last < first || limit <= 0)
        return result;
    qint64 next = first; // the lowest number not yet looked at
    auto it = m_ranges.upper_bound(first);
    if (it != m_ranges.begin() && std::prev(it)->second >= first) {
        const qint64 end = std::prev(it)->second;
        if (end >= last)
            return result;
        next = end + 1;
    }
    for (; it != m_ranges.end() && it->first <= last; ++it) {
        if (it->first > next) {
            result.append({next, it->first - 1});
            if (result.size() >= limit)
                return result;
        }
        if (it->second >= last)
            return result;
        next = it->second + 1;
    }
    if (next <= last)
        result.append({next, last});
    return result;
}

qint64 SeqRanges::countIn(qint64 first, qint64 last) const
{
    qint64 count = 0;
    auto it = m_ranges.upper_bound(first);
    if (it != m_ranges.begin())
        --it;
    for (; it != m_ranges.end() && it->first <= last; ++it) {
        const qint64 from = qMax(first, it->first);
        const qint64 to = qMin(last, it->second);
        if (to >= from)
            count += to - from + 1;
    }
    return count;
}
