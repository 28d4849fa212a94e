// Partition layouts: layout files and mtdparts texts, their checks, and the way back to mtdparts.
#include "engine/flashlayout.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString Router = "mtdparts=nand:256k(u-boot)ro,128k(u-boot-env),4m(kernel),-(rootfs)";
const QString RouterBlocks = "u-boot 0-1 ro, u-boot-env 2-2, kernel 3-34, rootfs 35-1023";

// "name first-last [ro]" of each partition, joined by ", ".
QString blocksOf(const FlashLayout &layout)
{
    QStringList parts;
    for (const Partition &p : layout.partitions())
        parts.append(QStringLiteral("%1 %2-%3%4")
                         .arg(p.name, QString::number(p.firstBlock), QString::number(p.lastBlock),
                              p.readOnly ? " ro" : ""));
    return parts.join(", ");
}

} // namespace

class TestLayout : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("text");
        // The partitions as blocksOf() gives them, or a part of the error message.
        QTest::addColumn<QString>("result");
        const char *const rows[][3] = {
            {"router file",
             "# router\r\nu-boot 0 256k ro  # loader\r\n\r\n\tu-boot-env 0x40000 128KiB\n"
             "kernel 3...34\nrootfs 35-1023#rest\n",
             "u-boot 0-1 ro, u-boot-env 2-2, kernel 3-34, rootfs 35-1023"},
            {"suffixes, gap", "a 0 0x20000\nb 128K 1M\nc 1152k 131072\nd 0X1000000 -\ne 0010-0010",
             "a 0-0, b 1-8, c 9-9, d 128-1023, e 10-10"},
            {"offsets, lk", " mtdparts=nand:1M@0x100000(b),2m(c)lk,128k@0(a)ro,-@126MiB(d)rolk\n",
             "b 8-15, c 16-31, a 0-0 ro, d 1008-1023 ro"},
            {"unnamed, colons", "mtdparts=gpmi:0:1m,-(x:y)", "Partition_000 0-7, x:y 8-1023"},
            // Refused texts:
            {"size", "a 0-1\n\nkernel 0x40000 0x30000",
             "line 3: \"kernel\": size 0x30000 is not a whole number of 128 KiB blocks"},
            {"offset", "mtdparts=n:1m(a),128k@4k(b)", "item 2: \"b\": offset 4k is not a whole"},
            {"zero", "a 0x20000 0", "line 1: \"a\": size 0 is zero"},
            {"overlap", "a 0-9\nb 9...20", "line 2: \"b\" overlaps \"a\" of line 1 at blocks 9"},
            {"overlap mtdparts", "mtdparts=n:1m(a),1m@512k(b)",
             "\"b\" overlaps \"a\" of mtdparts item 1 at blocks 4...7"},
            {"last block", "a 1000-1024", "\"a\": block 1024 is past the last block 1023"},
            {"past end", "mtdparts=n:2m@127m(a)",
             "size 2m at offset 127m runs past the end of the chip (128 MiB)"},
            {"outside", "a 128m -", "offset 128m lies outside the chip"},
            {"two rests", "mtdparts=n:-(a),-(b)", "item 2: \"b\": no room is left after the"},
            {"huge offset", "mtdparts=n:1m@99999999999999999999999(a)", "offset 9999999999999"},
            {"huge size", "mtdparts=n:0xffffffffffffffffffffGiB(a)", "GiB at offset 0x0 runs past"},
            {"huge block", "a 0-99999999999999999999", "block 99999999999999999999 is past"},
            {"duplicate", "a 0-1\na 2-3", "line 2: \"a\": the name is taken by line 1"},
            {"made name", "mtdparts=n:1m,1m(Partition_000)", "is taken by mtdparts item 1"},
            {"bad name", "a,b 0-1", "line 1: \"a,b\": a name holds no blank"},
            {"empty name", "mtdparts=n:1m()", "item 1: the partition's name is empty"},
            {"flag", "a 0-1 rw", "line 1: \"a\": unknown flag \"rw\""},
            {"flag mtdparts", "mtdparts=n:1m(a)lkro", "\"a\": unexpected \"ro\" after the"},
            {"hex digits", "a 0x 1m", "\"0x\" is not a byte offset"},
            {"sign", "a +0 1m", "\"+0\" is not a byte offset"},
            {"junk size", "a 0 12q", "\"12q\" is not a size"},
            {"block hex", "a 0x1-2", "\"0x1-2\" is not a block range"},
            {"backwards", "a 9-3", "the block range 9-3 runs backwards"},
            {"no place", "a  # x", "\"a\": blocks or an offset should follow"},
            {"no size", "a 0", "a size should follow offset 0"},
            {"mtdparts size", "mtdparts=n:1m(a),abc(b)", "2: \"abc(b)\" does not start with"},
            {"at", "mtdparts=n:1m@(a)", "item 1: \"1m@(a)\" lacks a number after"},
            {"parenthesis", "mtdparts=n:1m(a", "lacks the \")\" after the name"},
            {"no mtd-id", "mtdparts=", "\"<mtd-id>:\" is missing"},
            {"no items", "mtdparts=nand:", "mtdparts item 1 is empty"},
            {"trailing comma", "mtdparts=nand:1m(a),", "mtdparts item 2 is empty"},
            {"devices", "mtdparts=a:1m(x);b:-(y)", "more than one device"},
            {"no partitions", "# nothing\n\n", "no partitions are given"}};
        QTest::newRow("router") << Router << RouterBlocks;
        for (const auto &row : rows)
            QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]);
        QTest::newRow("1025 items") << "mtdparts=n:" + QString("128k,").repeated(1024) + "128k"
                                    << "item 1025: \"Partition_1024\": no room is left";
    }
    // Each layout reads as written, and its mtdparts text reads back as the same layout. Each
    // fault is named with its place, and the layout given keeps what it held.
    void parse()
    {
        QFETCH(QString, text);
        QFETCH(QString, result);
        FlashLayout layout;
        QString message;
        QVERIFY(FlashLayout::parse(Router, &layout, &message));
        if (!FlashLayout::parse(text, &layout, &message)) {
            QVERIFY2(message.contains(result), qPrintable(message));
            QCOMPARE(blocksOf(layout), RouterBlocks);
            return;
        }
        QCOMPARE(blocksOf(layout), result);
        FlashLayout again;
        QVERIFY2(FlashLayout::parse(layout.toMtdparts(), &again, &message), qPrintable(message));
        QCOMPARE(blocksOf(again), result);
    }

    void lookupAndText()
    {
        FlashLayout layout;
        QVERIFY(layout.isEmpty());
        QString error;
        QVERIFY(FlashLayout::parse("b 8-9\na 0 128k ro\nc 10...1023", &layout, &error));
        QCOMPARE(layout.toMtdparts(), "mtdparts=nand:256k@1m(b),128k@0m(a)ro,-@1280k(c)");
        QCOMPARE(layout.find("a")->blockCount(), 1);
        QCOMPARE(layout.find("A"), nullptr);
        QCOMPARE(layout.partitionOf(9)->name, "b");
        QCOMPARE(layout.partitionOf(1023)->name, "c");
        for (int block : {-1, 1, 7, 1024})
            QCOMPARE(layout.partitionOf(block), nullptr);
        QVERIFY(FlashLayout::parse(Router, &layout, &error));
        QCOMPARE(layout.toMtdparts(), Router);
    }

    // A source is a mtdparts text or a file; errors about a file name it.
    void load()
    {
        QTemporaryDir dir;
        const QString good = dir.filePath("good"), bad = dir.filePath("b"),
                      huge = dir.filePath("h");
        for (const auto &[path, text] : {std::pair(good, QByteArray("k\xc3\xa9rnel 0 4m\n")),
                                         std::pair(bad, QByteArray("a 0-1\na 2-3")),
                                         std::pair(huge, QByteArray((1 << 20) + 1, '#'))}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        }
        FlashLayout layout;
        QString error;
        QVERIFY(FlashLayout::load(good, &layout, &error));
        QCOMPARE(blocksOf(layout), "kérnel 0-31");
        QVERIFY(FlashLayout::load(Router, &layout, &error));
        QCOMPARE(blocksOf(layout), RouterBlocks);
        const std::pair<QString, QString> faults[] = {
            {bad, ": line 2: \"a\": the name is taken by line 1"},
            {huge, ": is larger than a layout file can be (1 MiB)"},
            {dir.filePath("missing"), ": cannot be read: "},
            {dir.path(), ": cannot be read: "}};
        for (const auto &[path, message] : faults) {
            QVERIFY(!FlashLayout::load(path, &layout, &error));
            QVERIFY2(error.startsWith(path + message), qPrintable(error));
        }
        QCOMPARE(blocksOf(layout), RouterBlocks);
    }
};

QTEST_GUILESS_MAIN(TestLayout)
#include "tst_layout.moc"
