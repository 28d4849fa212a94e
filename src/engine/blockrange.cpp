#include "engine/blockrange.h"

#include <QDataStream>
#include <QStringList>
#include <algorithm>

namespace {

// Sorts the ranges, drops empty ones and merges those that overlap or touch. Works on the
// ranges themselves rather than on the numbers they expand to, so that a huge range from a
// damaged settings store costs no memory.
QList<BlockRange> normalized(QList<BlockRange> ranges)
{
    ranges.erase(std::remove_if(ranges.begin(), ranges.end(),
                                [](const BlockRange &range) { return range.first > range.last; }),
                 ranges.end());
    std::sort(ranges.begin(), ranges.end(),
              [](const BlockRange &a, const BlockRange &b) { return a.first < b.first; });
    QList<BlockRange> merged;
    for (const BlockRange &range : ranges) {
        // 64-bit so that a range ending at the largest int does not wrap.
        if (!merged.isEmpty() && range.first <= qint64(merged.last().last) + 1)
            merged.last().last = std::max(merged.last().last, range.last);
        else
            merged.append(range);
    }
    return merged;
}

} // namespace

QString BlockRange::toString() const
{
    if (first == last)
        return QString::number(first);
    return QStringLiteral("%1...%2").arg(first).arg(last);
}

void BlockRangeList::addRange(const BlockRange &range)
{
    QList<BlockRange> all = ranges;
    all.append(range);
    ranges = normalized(all);
}

BlockRangeList BlockRangeList::fromBlocks(const QList<int> &blocks, const QString &name)
{
    BlockRangeList list(name);
    QList<BlockRange> single;
    single.reserve(blocks.size());
    for (int block : blocks)
        single.append(BlockRange(block, block));
    list.ranges = normalized(single);
    return list;
}

QList<int> BlockRangeList::toBlocks() const
{
    QList<int> blocks;
    for (const BlockRange &range : ranges) {
        for (qint64 block = range.first; block <= range.last; ++block)
            blocks.append(int(block));
    }
    return blocks;
}

QString BlockRangeList::toString() const
{
    QStringList texts;
    for (const BlockRange &range : ranges)
        texts.append(range.toString());
    return texts.join(QStringLiteral(", "));
}

QDataStream &operator<<(QDataStream &stream, const BlockRange &range)
{
    return stream << qint32(range.first) << qint32(range.last);
}

QDataStream &operator>>(QDataStream &stream, BlockRange &range)
{
    qint32 first = -1;
    qint32 last = -1;
    stream >> first >> last;
    range = BlockRange(first, last);
    return stream;
}

QDataStream &operator<<(QDataStream &stream, const BlockRangeList &list)
{
    stream << list.name << quint32(list.ranges.size());
    for (const BlockRange &range : list.ranges)
        stream << range;
    return stream;
}

QDataStream &operator>>(QDataStream &stream, BlockRangeList &list)
{
    list.ranges.clear();
    quint32 count = 0;
    stream >> list.name >> count;
    // The count is not trusted for allocation: a damaged store may claim billions of ranges.
    for (quint32 i = 0; i < count; ++i) {
        BlockRange range;
        stream >> range;
        if (stream.status() != QDataStream::Ok)
            break;
        list.ranges.append(range);
        if (stream.atEnd())
            break;
    }
    return stream;
}

void registerBlockRangeTypes()
{
    qRegisterMetaType<BlockRange>("BlockRange");
    qRegisterMetaType<BlockRangeList>("BlockRangeList");
    qRegisterMetaType<QList<int>>("QList<int>");
}

Q_CONSTRUCTOR_FUNCTION(registerBlockRangeTypes)
