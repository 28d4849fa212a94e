#include "engine/chipid.h"
#include "engine/imagedirectory.h"
#include "protocol/geometry.h"

#include <QBuffer>
#include <QtTest>

namespace {

using Geometry::BlockSize;

// `size` bytes of directory block: `entries` entries, an end mark of `terminator`, erased bytes.
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

} // namespace

class TestImageDirectory : public QObject
{
    Q_OBJECT

private slots:
    void directoryExtent_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("blocks"); // From block 0 on.
        QTest::newRow("ended by zeros") << directoryBlock(3, 0) << 99;
        QTest::newRow("32 entries") << directoryBlock(32) << 1027;
        QTest::newRow("33 entries") << directoryBlock(33) << 0;
        // An entry needs 17 bytes of data left: the last byte of a block is never one's.
        QTest::newRow("129046 bytes") << directoryBlock(1, char(0xFF), 129046) << 0;
        QTest::newRow("129047 bytes") << directoryBlock(1, char(0xFF), 129047) << 35;
    }

    void directoryExtent()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, blocks);
        const QList<int> list = directoryBlocks(data);
        QCOMPARE(list.size(), blocks);
        QVERIFY(list.isEmpty() || list.last() == blocks - 1);
    }

    // The directory is read from block 2 of the buffer, whose position stays where it was.
    void bufferDirectory()
    {
        QByteArray image = QByteArray(2 * BlockSize, 0) + directoryBlock(3);
        QBuffer buffer(&image);
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        QVERIFY(buffer.seek(12345));
        QCOMPARE(bufferDirectoryBlocks(&buffer).size(), 99);
        QCOMPARE(buffer.pos(), qint64(12345));
    }

    void chipIdentity()
    {
        const auto id = [](const char *hex) { return QByteArray::fromHex(hex); };
        QCOMPARE(chipName(id("ADF18015AD")), "Hynix HY27UF081G2M");
        // Only the whole ID names a chip; its first byte names the maker.
        QCOMPARE(chipName(id("ECF100954000")), "Unknown Samsung flash device");
        QCOMPARE(chipName(id("98F18015")), "Unknown flash device");
        QVERIFY(isChipMissing(id("FFFFFFFFFF")));
        QVERIFY(!isChipMissing(id("FFFFFFFFFFFF")));
    }
};

QTEST_GUILESS_MAIN(TestImageDirectory)
#include "tst_imagedirectory.moc"
