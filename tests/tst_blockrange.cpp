#include "engine/blockrange.h"

#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <climits>
#include <set>

using Ranges = QList<BlockRange>;

// Shows ranges in failure messages.
char *toString(const BlockRange &range)
{
    return qstrdup(qPrintable(range.toString()));
}

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

BlockRangeList readBack(const QByteArray &bytes)
{
    QDataStream stream(bytes);
    BlockRangeList list = listOf({{1, 1}}, "stale");
    stream >> list;
    return list;
}

} // namespace

class TestBlockRange : public QObject
{
    Q_OBJECT

private slots:
    void textForm()
    {
        QCOMPARE(listOf({}).toString(), QString());
        QCOMPARE(listOf({{0, 3}, BlockRange(), {7, 7}, {-12, -3}, {20, 15}}).toString(),
                 "0...3, -1, 7, -12...-3, 20...15");
        QCOMPARE(listOf({{3, 4}, {1, 3}, {6, 5}, {INT_MAX - 1, INT_MAX}}).toBlocks(),
                 QList<int>({3, 4, 1, 2, 3, INT_MAX - 1, INT_MAX}));
    }

    // Ranges at the ends of int neither wrap around nor expand into billions of numbers.
    void normalFormAtTheEndsOfInt()
    {
        QCOMPARE(
            BlockRangeList::fromBlocks({INT_MAX, INT_MIN, INT_MAX - 1, INT_MIN, INT_MAX}, "kept"),
            listOf({{INT_MIN, INT_MIN}, {INT_MAX - 1, INT_MAX}}, "kept"));
        BlockRangeList list = listOf({{0, INT_MAX}}, "kept");
        list.addRange({5, 6});
        QCOMPARE(list, listOf({{0, INT_MAX}}, "kept"));
        list.ranges = {{INT_MIN, INT_MAX - 1}};
        list.addRange({INT_MAX, INT_MAX});
        QCOMPARE(list.ranges, Ranges({{INT_MIN, INT_MAX}}));
    }

    // Adding a range gives exactly the blocks of the list and of the range, in normal form,
    // whatever order and overlaps the list had.
    void addRangeGivesUnionOfBlocks()
    {
        QRandomGenerator random(1120);
        for (int round = 0; round < 500; ++round) {
            BlockRangeList list("kept");
            std::set<int> blocks;
            for (int i = random.bounded(6); i >= 0; --i) {
                const int first = random.bounded(60);
                list.ranges.append(BlockRange(first, first + random.bounded(-3, 10)));
            }
            list.ranges.append(BlockRange(random.bounded(60), random.bounded(60)));
            for (const int block : list.toBlocks())
                blocks.insert(block);
            list.addRange(list.ranges.takeLast());
            QCOMPARE(list.toBlocks(), QList<int>(blocks.begin(), blocks.end()));
            QCOMPARE(BlockRangeList::fromBlocks(list.toBlocks(), "kept"), list);
        }
    }

    void streamForm()
    {
        const BlockRangeList list = listOf({{0, 3}, {-1, 1023}}, "Ab");
        const QByteArray stored = QByteArray::fromHex("00000004 00410062 00000002"
                                                      "00000000 00000003 ffffffff 000003ff");
        QCOMPARE(streamed(list), stored);
        QCOMPARE(streamed(BlockRangeList()), QByteArray::fromHex("ffffffff 00000000"));

        // Stored lists come back exactly, normal form or not, null or empty name.
        for (const BlockRangeList &original :
             {list, listOf({{9, 9}, {0, 3}, {2, 1}, {0, 3}}, "odd"), BlockRangeList(),
              BlockRangeList("")}) {
            const BlockRangeList back = readBack(streamed(original));
            QCOMPARE(back, original);
            QCOMPARE(back.name.isNull(), original.name.isNull());
        }

        // A count beyond the stored ranges, and a range cut short, end the list early.
        QByteArray truncated = stored;
        truncated[11] = 3;
        QDataStream stream(truncated);
        BlockRangeList back;
        stream >> back;
        QCOMPARE(back.ranges, Ranges({{0, 3}, {-1, 1023}}));
        QCOMPARE(stream.status(), QDataStream::Ok);
        truncated.replace(8, 4, QByteArray(4, char(0xFF)));
        QCOMPARE(readBack(truncated + QByteArray(6, 0)).ranges, Ranges({{0, 3}, {-1, 1023}}));
    }

    void settingsRoundTrip()
    {
        // Registered at program start, before anything here has run.
        for (const char *name : {"BlockRange", "BlockRangeList"})
            QVERIFY2(QMetaType::fromName(name).isValid(), name);

        QTemporaryDir dir;
        const QString path = dir.filePath("settings.ini");
        const BlockRangeList lists[] = {listOf({{0, 99}, {200, 200}}, "Boot"),
                                        listOf({{5, 1}, {3, 3}}, "Ünïcode")};
        QSettings(path, QSettings::IniFormat)
            .setValue("blocks",
                      QVariantList{QVariant::fromValue(lists[0]), QVariant::fromValue(lists[1])});
        const QVariantList stored = QSettings(path, QSettings::IniFormat).value("blocks").toList();
        QCOMPARE(stored.size(), 2);
        QCOMPARE(stored.at(0).value<BlockRangeList>(), lists[0]);
        QCOMPARE(stored.at(1).value<BlockRangeList>(), lists[1]);
    }
};

QTEST_GUILESS_MAIN(TestBlockRange)
#include "tst_blockrange.moc"
