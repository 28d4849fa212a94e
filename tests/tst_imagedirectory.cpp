#include "engine/chipid.h"
#include "engine/imagedirectory.h"

#include <QBuffer>
#include <QtTest>

namespace {

constexpr int BlockSize = 131072;

// Directory block data of `size` bytes holding `entries` distinct entries, then an end mark of
// `terminator` bytes; everything else is erased.
QByteArray directoryBlock(int entries, char terminator = char(0xFF), int size = BlockSize)
{
    QByteArray data(size, char(0xFF));
    int offset = ImageDirectory::FirstEntryOffset;
    for (int i = 0; i <= entries && offset + 16 <= size; ++i, offset += 16) {
        // Entries are mostly 0xFF or 0x00: only a check of every byte tells them from an end mark.
        data.replace(offset, 16, QByteArray(16, i == entries ? terminator : char(-(i % 2))));
        if (i < entries)
            data[offset + i % 16] = char(i + 1);
    }
    return data;
}

QList<int> blocksUpTo(int last)
{
    QList<int> blocks;
    for (int block = 0; block <= last; ++block)
        blocks.append(block);
    return blocks;
}

} // namespace

class TestImageDirectory : public QObject
{
    Q_OBJECT

private slots:
    void directoryExtent_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("lastBlock"); // -1: no directory
        QTest::newRow("erased") << directoryBlock(0) << -1;
        QTest::newRow("three entries") << directoryBlock(3) << 98;
        QTest::newRow("ended by zeros") << directoryBlock(3, 0) << 98;
        QTest::newRow("32 entries") << directoryBlock(32) << 1026;
        QTest::newRow("33 entries") << directoryBlock(33) << -1;
        QTest::newRow("129046 bytes") << directoryBlock(1, char(0xFF), 129046) << -1;
        QTest::newRow("129047 bytes") << directoryBlock(1, char(0xFF), 129047) << 34;
    }

    void directoryExtent()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, lastBlock);
        QCOMPARE(directoryBlocks(data), lastBlock < 0 ? QList<int>() : blocksUpTo(lastBlock));
    }

    void entries()
    {
        const QByteArray data = directoryBlock(3);
        const QList<QByteArray> entries = directoryEntries(data, 3);
        QCOMPARE(entries.size(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(entries.at(i), data.mid(ImageDirectory::FirstEntryOffset + 16 * i, 16));
        QVERIFY(directoryEntries(data, 2).isEmpty());
        // Without an end mark the entries run up to, not into, the last 16 bytes of the block.
        QCOMPARE(directoryEntries(QByteArray(BlockSize, 'Z'), 1000).size(), 127);
    }

    void bufferDirectory()
    {
        QByteArray image = QByteArray(2 * BlockSize, 0) + directoryBlock(3);
        QBuffer buffer(&image);
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        QVERIFY(buffer.seek(12345));
        QCOMPARE(bufferDirectoryBlocks(&buffer), blocksUpTo(98));
        QCOMPARE(buffer.pos(), qint64(12345));

        // A closed buffer holds no directory.
        QBuffer closed(&image);
        QTest::ignoreMessage(QtWarningMsg, "The image buffer holds 0 bytes of its directory block "
                                           "instead of 131072");
        QVERIFY(bufferDirectoryBlocks(&closed).isEmpty());
    }

    void chipIdentity()
    {
        const auto id = [](const char *hex) { return QByteArray::fromHex(hex); };
        QCOMPARE(chipName(id("ECF1009540")), "Samsung K9F1G08U0x");
        QCOMPARE(chipName(id("ADF18015AD")), "Hynix HY27UF081G2M");
        for (const char *samsung : {"ECF1001540", "ECF10095", "ECF100954000"})
            QCOMPARE(chipName(id(samsung)), "Unknown Samsung flash device");
        QCOMPARE(chipName(id("ADDA")), "Unknown Hynix flash device");
        QCOMPARE(chipName(id("98F18015")), "Unknown flash device");
        QCOMPARE(chipName(QByteArray()), "Unknown flash device");

        QVERIFY(isChipMissing(id("FFFFFFFFFF")));
        for (const char *present : {"FFFFFFFF", "FFFFFFFFFFFF", "FFFFFFFFFE", "", "ECF1009540"})
            QVERIFY2(!isChipMissing(id(present)), present);
    }
};

QTEST_GUILESS_MAIN(TestImageDirectory)
#include "tst_imagedirectory.moc"
