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

// A page of varied data followed by `spare`, the rest of the spare area erased.
QByteArray page(int seed, const QByteArray &spare = QByteArray())
{
    QByteArray bytes = erased;
    for (int i = 0; i < NandChip::PageSize; ++i)
        bytes[i] = char((i * 7 + seed * 13) ^ (i >> 8));
    return bytes.replace(NandChip::PageSize, spare.size(), spare);
}

void program(NandChip &chip, int block, int page, const QByteArray &bytes, int spareSize = 0)
{
    chip.programPage(block, page, bytes.constData(), bytes.constData() + NandChip::PageSize,
                     spareSize);
}

} // namespace

class TestNandChip : public QObject
{
    Q_OBJECT

private slots:
    void programAndsEraseRestores()
    {
        NandChip chip;
        const QByteArray first = page(1, QByteArray::fromHex("ff00a5c30f"));
        const QByteArray second = ' ' + page(2, QByteArray::fromHex("fff05a3c"));
        program(chip, 7, 63, first, 5);
        // From an odd address.
        chip.programPage(7, 63, second.constData() + 1, second.constData() + 2049, 4);
        QByteArray expected = first;
        for (int i = 0; i < PageBytes; ++i)
            expected[i] = char(expected[i] & second[i + 1]);
        QCOMPARE(readPage(chip, 7, 63), expected);
        program(chip, 1023, 0, first);
        for (const auto &[block, page] : {std::pair(7, 62), {6, 63}, {8, 63}, {1023, 1}})
            QCOMPARE(readPage(chip, block, page), erased);

        QVERIFY(chip.erase(7));
        QCOMPARE(readPage(chip, 7, 63), erased);
        QCOMPARE(readPage(chip, 1023, 0), page(1));
        program(chip, 7, 63, second.mid(1));
        QCOMPARE(readPage(chip, 7, 63), page(2));
    }

    void badAndEraseFailBlocks()
    {
        NandChip chip;
        quint8 marks[4] = {};
        chip.setFactoryBad({700, 5});
        chip.markBad(9);
        chip.setFactoryBad({12});
        QCOMPARE(chip.badBlocks(), QList<int>({5, 9, 12, 700}));
        chip.marks(8, &marks[0], &marks[1]);
        chip.marks(9, &marks[2], &marks[3]);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(marks), 4), QByteArray::fromHex("ffff0000"));
        QVERIFY(!chip.erase(9) && chip.isBad(9));

        // Erase-fail blocks fail every time, keep their contents and are not bad by themselves.
        program(chip, 20, 0, page(4));
        chip.setEraseFail({20, 21});
        QVERIFY(!chip.erase(20) && !chip.erase(20) && !chip.isBad(20));
        QCOMPARE(readPage(chip, 20, 0), page(4));
        chip.setEraseFail({21});
        QVERIFY(chip.erase(20) && !chip.erase(21));
    }

    void flipsShowOnReadsOnly()
    {
        NandChip chip;
        program(chip, 4, 2, page(5));
        chip.addDataFlip(4, 2 * NandChip::PageSize + 10, 3);
        chip.addDataFlip(4, 2 * NandChip::PageSize + 10, 3); // twice is still one flip
        chip.addDataFlip(4, NandChip::PagesPerBlock * NandChip::PageSize - 1, 7);
        chip.addSpareFlip(4, 2, 25, 0);
        QByteArray flipped = page(5);
        flipped[10] = char(flipped[10] ^ 0x08);
        flipped[NandChip::PageSize + 25] = char(0xFE);
        for (int read = 0; read < 2; ++read)
            QCOMPARE(readPage(chip, 4, 2), flipped);
        QCOMPARE(readPage(chip, 4, 63).at(NandChip::PageSize - 1), char(0x7F));
        QCOMPARE(readPage(chip, 5, 2), erased);

        // Programming works on the stored cells, not on what a read shows.
        program(chip, 4, 2, page(5));
        chip.clearFlips();
        QCOMPARE(readPage(chip, 4, 2), page(5));

        // Random flips follow their seed, and each read draws new ones.
        NandChip first;
        NandChip second;
        first.setRandomFlips(1e-4, 3);
        second.setRandomFlips(1e-4, 3);
        const QByteArray reads[] = {readPage(first, 1, 0), readPage(first, 1, 0)};
        for (const QByteArray &read : reads)
            QCOMPARE(readPage(second, 1, 0), read);
        QVERIFY(reads[0] != reads[1] && reads[0].count(char(0xFF)) > PageBytes / 2);
    }

    void storageKeepsChipAcrossObjects()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("chip.bin");
        const QByteArray last = page(6, QByteArray(64, 0x11));
        QString error;
        {
            NandChip chip;
            chip.setFactoryBad({3});
            QVERIFY2(chip.attachStorage(path, &error), qPrintable(error));
            QCOMPARE(QFileInfo(path).size(), StorageBytes);
            QCOMPARE(readPage(chip, 1023, 63), erased);
            program(chip, 1023, 63, last, 64);
            program(chip, 2, 0, last);
            QVERIFY(chip.erase(2));
            chip.markBad(500);
            // Writes reach the file at once, not when the chip goes away.
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly) &&
                    file.seek(StorageBytes - NandChip::BlockCount - PageBytes));
            QCOMPARE(file.read(PageBytes), last);
        }
        NandChip chip;
        chip.setFactoryBad({7});
        program(chip, 1, 1, last); // replaced by the file's contents
        QVERIFY2(chip.attachStorage(path, &error), qPrintable(error));
        QCOMPARE(readPage(chip, 1023, 63), last);
        QCOMPARE(readPage(chip, 2, 0), erased);
        QCOMPARE(readPage(chip, 1, 1), erased);
        QCOMPARE(chip.badBlocks(), QList<int>({3, 7, 500}));
    }
};

QTEST_GUILESS_MAIN(TestNandChip)
#include "tst_nandchip.moc"
