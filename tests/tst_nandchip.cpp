#include "sim/nandchip.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int PageBytes = NandChip::PageSize + NandChip::SpareSize;
constexpr qint64 StorageBytes =
    qint64(NandChip::BlockCount) * NandChip::PagesPerBlock * PageBytes + NandChip::BlockCount;
const QByteArray erased(PageBytes, char(0xFF));

// Data and spare bytes of a page, as a read shows them.
QByteArray readPage(const NandChip &chip, int block, int page)
{
    QByteArray bytes(PageBytes, 0);
    chip.readPage(block, page, bytes.data(), bytes.data() + NandChip::PageSize);
    return bytes;
}

QByteArray pattern(int seed, int size = NandChip::PageSize)
{
    QByteArray bytes(size, 0);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed * 13) ^ (i >> 8));
    return bytes;
}

QByteArray withErasedSpare(const QByteArray &bytes)
{
    return bytes + QByteArray(PageBytes - bytes.size(), char(0xFF));
}

} // namespace

class TestNandChip : public QObject
{
    Q_OBJECT

private slots:
    void programAndsEraseRestores();
    void badBlocksStayBad();
    void flipsShowOnReadsOnly();
    void storageKeepsChipAcrossObjects();
    void storageRejectsWrongFiles_data();
    void storageRejectsWrongFiles();
};

void TestNandChip::programAndsEraseRestores()
{
    NandChip chip;
    const QByteArray first = pattern(1) + QByteArray::fromHex("ff00a5c30f");
    const QByteArray second = ' ' + pattern(2) + QByteArray::fromHex("fff05a3c"); // odd address
    chip.programPage(7, 63, first.constData(), first.constData() + 2048, 5);
    chip.programPage(7, 63, second.constData() + 1, second.constData() + 2049, 4);
    QByteArray expected = withErasedSpare(first);
    for (int i = 0; i < second.size() - 1; ++i)
        expected[i] = char(expected[i] & second[i + 1]);
    QCOMPARE(readPage(chip, 7, 63), expected);
    chip.programPage(1023, 0, first.constData(), nullptr, 0);
    for (const auto &[block, page] : {std::pair(7, 62), {6, 63}, {8, 63}, {1023, 1}})
        QCOMPARE(readPage(chip, block, page), erased);

    QVERIFY(chip.erase(7));
    QCOMPARE(readPage(chip, 7, 63), erased);
    QCOMPARE(readPage(chip, 1023, 0), withErasedSpare(pattern(1)));
    chip.programPage(7, 63, first.constData(), nullptr, 0);
    QCOMPARE(readPage(chip, 7, 63), withErasedSpare(pattern(1)));
}

void TestNandChip::badBlocksStayBad()
{
    NandChip chip;
    quint8 marks[2] = {};
    chip.marks(5, &marks[0], &marks[1]);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(marks), 2), QByteArray("\xff\xff"));
    chip.setFactoryBad({700, 5});
    chip.markBad(9);
    chip.setFactoryBad({12});
    QCOMPARE(chip.badBlocks(), QList<int>({5, 9, 12, 700}));
    chip.marks(9, &marks[0], &marks[1]);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(marks), 2), QByteArray(2, 0));
    QVERIFY(!chip.erase(9));
    QVERIFY(chip.isBad(9));

    // Erase-fail blocks fail every time, keep their contents and are not bad by themselves.
    const QByteArray data = pattern(4);
    chip.programPage(20, 0, data.constData(), nullptr, 0);
    chip.setEraseFail({20, 21});
    QVERIFY(!chip.erase(20));
    QVERIFY(!chip.erase(20));
    QVERIFY(!chip.isBad(20));
    QCOMPARE(readPage(chip, 20, 0), withErasedSpare(data));
    chip.setEraseFail({21});
    QVERIFY(chip.erase(20));
    QVERIFY(!chip.erase(21));
}

void TestNandChip::flipsShowOnReadsOnly()
{
    NandChip chip;
    const QByteArray data = pattern(5);
    chip.programPage(4, 2, data.constData(), nullptr, 0);
    chip.addDataFlip(4, 2 * NandChip::PageSize + 10, 3);
    chip.addDataFlip(4, 2 * NandChip::PageSize + 10, 3); // twice is still one flip
    chip.addDataFlip(4, NandChip::PagesPerBlock * NandChip::PageSize - 1, 7);
    chip.addSpareFlip(4, 2, 25, 0);

    QByteArray flipped = withErasedSpare(data);
    flipped[10] = char(flipped[10] ^ 0x08);
    flipped[NandChip::PageSize + 25] = char(0xFE);
    QCOMPARE(readPage(chip, 4, 2), flipped);
    QCOMPARE(readPage(chip, 4, 2), flipped);
    QCOMPARE(readPage(chip, 4, 63).at(NandChip::PageSize - 1), char(0x7F));
    QCOMPARE(readPage(chip, 5, 2), erased);

    // Programming works on the stored cells, not on what a read shows.
    chip.programPage(4, 2, data.constData(), nullptr, 0);
    chip.clearFlips();
    QCOMPARE(readPage(chip, 4, 2), withErasedSpare(data));
}

void TestNandChip::storageKeepsChipAcrossObjects()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("chip.bin");
    const QByteArray page = pattern(6, PageBytes);
    QString error;
    {
        NandChip chip;
        chip.setFactoryBad({3});
        QVERIFY2(chip.attachStorage(path, &error), qPrintable(error));
        QCOMPARE(QFileInfo(path).size(), StorageBytes);
        QCOMPARE(readPage(chip, 1023, 63), erased);
        QCOMPARE(chip.badBlocks(), QList<int>({3}));
        chip.programPage(1023, 63, page.constData(), page.constData() + 2048, 64);
        chip.programPage(2, 0, page.constData(), nullptr, 0);
        QVERIFY(chip.erase(2));
        chip.markBad(500);

        // Writes reach the file at once, not when the chip goes away.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.seek(StorageBytes - NandChip::BlockCount - PageBytes));
        QCOMPARE(file.read(PageBytes), page);
    }
    NandChip chip;
    chip.setFactoryBad({7});
    chip.programPage(1, 1, page.constData(), nullptr, 0); // replaced by the file's contents
    QVERIFY2(chip.attachStorage(path, &error), qPrintable(error));
    QCOMPARE(readPage(chip, 1023, 63), page);
    QCOMPARE(readPage(chip, 2, 0), erased);
    QCOMPARE(readPage(chip, 1, 1), erased);
    QCOMPARE(chip.badBlocks(), QList<int>({3, 7, 500}));
}

void TestNandChip::storageRejectsWrongFiles_data()
{
    QTest::addColumn<qint64>("size"); // -1: a directory, -2: in a missing folder
    QTest::newRow("empty") << qint64(0);
    QTest::newRow("one byte short") << StorageBytes - 1;
    QTest::newRow("one byte long") << StorageBytes + 1;
    QTest::newRow("directory") << qint64(-1);
    QTest::newRow("missing folder") << qint64(-2);
}

void TestNandChip::storageRejectsWrongFiles()
{
    QFETCH(qint64, size);
    QTemporaryDir dir;
    const QString path = dir.filePath(size == -2 ? "no/chip.bin" : "chip.bin");
    QFile file(path);
    QVERIFY(size < 0 || (file.open(QIODevice::WriteOnly) && file.resize(size)));
    QVERIFY(size != -1 || QDir(dir.path()).mkdir("chip.bin"));

    NandChip chip;
    QString error;
    QVERIFY(!chip.attachStorage(path, &error));
    QVERIFY2(error.contains(path), qPrintable(error));
    QCOMPARE(QFileInfo::exists(path), size != -2);
    QVERIFY(size < 0 || QFileInfo(path).size() == size);
    // The chip carries on in memory.
    const QByteArray data = pattern(7);
    chip.programPage(0, 0, data.constData(), nullptr, 0);
    QCOMPARE(readPage(chip, 0, 0), withErasedSpare(data));
}

QTEST_GUILESS_MAIN(TestNandChip)
#include "tst_nandchip.moc"
