// Block range lists: the normal form and the stream form that settings keep.
#include "engine/blockrange.h"
#include "engine/blockscope.h"

#include <QRandomGenerator>
#include <QtTest>
#include <climits>
#include <set>

using Ranges = QList<BlockRange>;

namespace {

BlockRangeList listOf(const Ranges &ranges, const QString &name = QString())
{
    BlockRangeList list(name);
    list.ranges = ranges;
    return list;
}

QByteArray streamed(const BlockRangeList &list)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << list;
    return bytes;
}

// Reads a list into one that holds something already, and the stream's status after it.
BlockRangeList readBack(const QByteArray &bytes, QDataStream::Status *status = nullptr)
{
    QDataStream stream(bytes);
    BlockRangeList list = listOf({{1, 1}}, "stale");
    stream >> list;
    if (status)
        *status = stream.status();
    return list;
}

} // namespace

class TestBlockRange : public QObject
{
    Q_OBJECT

private slots:
    // Adding a range gives the union of the blocks in normal form; the ends of int do not wrap.
    void normalForm()
    {
        QRandomGenerator random(1120);
        for (int round = 0; round < 500; ++round) {
            BlockRangeList list("kept");
            for (int i = random.bounded(6); i >= 0; --i) {
                const int first = random.bounded(60);
                list.ranges.append(BlockRange(first, first + random.bounded(-3, 10)));
            }
            list.ranges.append(BlockRange(random.bounded(60), random.bounded(60)));
            const QList<int> all = list.toBlocks();
            const std::set<int> blocks(all.begin(), all.end());
            list.addRange(list.ranges.takeLast());
            QCOMPARE(list.toBlocks(), QList<int>(blocks.begin(), blocks.end()));
            QCOMPARE(BlockRangeList::fromBlocks(list.toBlocks(), "kept"), list);
        }
        QCOMPARE(
            BlockRangeList::fromBlocks({INT_MAX, INT_MIN, INT_MAX - 1, INT_MIN, INT_MAX}).ranges,
            Ranges({{INT_MIN, INT_MIN}, {INT_MAX - 1, INT_MAX}}));
        BlockRangeList list = listOf({{INT_MIN, INT_MAX - 1}});
        list.addRange({INT_MAX, INT_MAX});
        QCOMPARE(list.ranges, Ranges({{INT_MIN, INT_MAX}}));
        QCOMPARE(listOf({{3, 4}, {1, 3}, {6, 5}, {INT_MAX - 1, INT_MAX}}).toBlocks(),
                 QList<int>({3, 4, 1, 2, 3, INT_MAX - 1, INT_MAX}));
    }

    // A chosen list is the whole flash only when it names every block, in any order.
    void chosenScope()
    {
        QList<int> every;
        for (int block = 1023; block >= 0; --block)
            every.append(block);
        QCOMPARE(BlockScope::chosen(every + QList<int>{5}).kind(), BlockScope::WholeFlash);
        QList<int> allButOne = every;
        allButOne.removeOne(500);
        const BlockScope scope = BlockScope::chosen(allButOne + QList<int>{7});
        QCOMPARE(scope.kind(), BlockScope::List);
        QCOMPARE(scope.blocks().size(), 1024);
    }

    void streamForm()
    {
        const BlockRangeList list = listOf({{0, 3}, {-1, 1023}}, "Ab");
        const QByteArray stored = QByteArray::fromHex("00000004 00410062 00000002"
                                                      "00000000 00000003 ffffffff 000003ff");
        QCOMPARE(streamed(list), stored);
        // Lists come back exactly, normal form or not.
        for (const BlockRangeList &original :
             {list, listOf({{9, 9}, {0, 3}, {2, 1}, {0, 3}}, "odd"), BlockRangeList()})
            QCOMPARE(readBack(streamed(original)), original);
        // The list ends where the stored ranges end, without reading past the end, or cut short.
        QByteArray truncated = stored;
        truncated[11] = 3;
        QDataStream::Status status = QDataStream::ReadCorruptData;
        QCOMPARE(readBack(truncated, &status).ranges, list.ranges);
        QCOMPARE(status, QDataStream::Ok);
        truncated.replace(8, 4, QByteArray(4, char(0xFF)));
        QCOMPARE(readBack(truncated + QByteArray(6, 0)).ranges, list.ranges);
    }
};

QTEST_GUILESS_MAIN(TestBlockRange)
#include "tst_blockrange.moc"
