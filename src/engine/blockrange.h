#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

class QDataStream;

// One inclusive range of block numbers. A range with `first` > `last` holds no blocks; a
// default-made one is (-1, -1).
struct BlockRange
{
    int first = -1;
    int last = -1;

    BlockRange() = default;
    BlockRange(int first, int last) : first(first), last(last) {}

    // "7" for a single block, "0...1023" otherwise; never translated.
    QString toString() const;

    bool operator==(const BlockRange &other) const
    {
        return first == other.first && last == other.last;
    }
    bool operator!=(const BlockRange &other) const { return !(*this == other); }
};

// A named list of block ranges, as the user picks the blocks of an operation. Lists built by
// `addRange` and `fromBlocks` are in normal form: ranges ascending, none empty, overlapping or
// adjacent. Lists read from a stream are kept exactly as stored.
struct BlockRangeList
{
    QString name;
    QList<BlockRange> ranges;

    explicit BlockRangeList(const QString &name = QString()) : name(name) {}

    // Merges `range` into the list and brings the whole list into normal form; an empty range
    // adds no blocks. The name stays.
    void addRange(const BlockRange &range);
    // The distinct numbers of `blocks` (any order, duplicates allowed) as a normal-form list.
    static BlockRangeList fromBlocks(const QList<int> &blocks, const QString &name = QString());
    // Every range expanded in list order, each ascending; no sorting, no removal of duplicates.
    // A range covers last - first + 1 numbers, so callers bound ranges of untrusted lists (the
    // settings store) before expanding them.
    QList<int> toBlocks() const;
    // The ranges' texts joined by ", ", e.g. "0...3, 7, 10...12"; empty for no ranges.
    QString toString() const;

    bool operator==(const BlockRangeList &other) const
    {
        return name == other.name && ranges == other.ranges;
    }
    bool operator!=(const BlockRangeList &other) const { return !(*this == other); }
};

// Stream form, as the settings store keeps values of these types: a range is `first` and `last`
// as signed 32-bit numbers; a list is its name, the number of ranges (unsigned 32-bit) and the
// ranges.
QDataStream &operator<<(QDataStream &stream, const BlockRange &range);
QDataStream &operator>>(QDataStream &stream, BlockRange &range);
QDataStream &operator<<(QDataStream &stream, const BlockRangeList &list);
// Reads at most the stored count of ranges and stops early at the end of the data; a range cut
// short by the end of the data is not added.
QDataStream &operator>>(QDataStream &stream, BlockRangeList &list);

Q_DECLARE_METATYPE(BlockRange)
Q_DECLARE_METATYPE(BlockRangeList)

// Registers "BlockRange", "BlockRangeList" (with their stream operators, so that variants of them
// go through the settings store) and "QList<int>" (the block lists that queued signals carry).
// Runs by itself at program start; calling it again does no harm.
void registerBlockRangeTypes();
