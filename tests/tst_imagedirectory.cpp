#include "engine/chipgeometry.h"
#include "engine/chipid.h"
#include "engine/chiptable.h"
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
        // Without a part, the first byte names the maker.
        QCOMPARE(chipName(id("ECF10095")), "Unknown Samsung flash device");
        QCOMPARE(chipName(id("3BF18015")), "Unknown flash device");
        QCOMPARE(datasheetBadBlockLimit(id("ECF1009540")), 20);
        QCOMPARE(datasheetBadBlockLimit(id("ECDA109544")), -1);
        QVERIFY(isChipMissing(id("FFFFFFFFFF")));
        QVERIFY(!isChipMissing(id("FFFFFFFFFFFF")));
    }

    // Each ID finds its own row, the longest one it starts with; an ID shorter than a row, or of
    // no known part, names no part, only its maker when that is known.
    void chipTable_data()
    {
        QTest::addColumn<QByteArray>("id");
        QTest::addColumn<QString>("name"); // Empty: no part.
        QTest::addColumn<int>("millivolts");
        QTest::addColumn<QString>("maker");
        const auto row = [](const char *tag, const char *hex, const char *name, int mv,
                            const char *maker) {
            QTest::newRow(tag) << QByteArray::fromHex(hex) << QString::fromLatin1(name) << mv
                               << QString::fromLatin1(maker);
        };
        row("Samsung", "ECF1009540", "Samsung K9F1G08U0x", 3300, "Samsung");
        row("Samsung, 6 bytes", "ECF100954000", "Samsung K9F1G08U0x", 3300, "Samsung");
        row("Samsung, 5th byte differs", "ECF1009541", "Samsung K9F1G08U0E", 3300, "Samsung");
        row("Hynix", "ADF18015AD", "Hynix HY27UF081G2M", 3300, "Hynix");
        row("Hynix, 3rd byte differs", "ADF1001D00", "Hynix H27U1G8F2B", 3300, "Hynix");
        row("Toshiba", "98D1901576", "Toshiba TC58NVG0S3E", 3300, "Toshiba/Kioxia");
        row("Micron 1.8 V", "2CA1801502", "Micron MT29F1G08ABBDA", 1800, "Micron");
        row("ESMT", "C8D1809542", "ESMT F59L1G81LA", 3300, "ESMT/GigaDevice/ISSI");
        row("shorter than its row", "ECF10095", "", 0, "Samsung");
        row("Samsung 2 Gbit", "ECDA109544", "", 0, "Samsung");
        row("unknown maker", "3BF1809540", "", 0, "");
    }

    // The device code gives density, supply and bus width, the fourth byte the sizes.
    void chipGeometry_data()
    {
        QTest::addColumn<QByteArray>("id");
        QTest::addColumn<QString>("description"); // Empty: not decoded.
        QTest::addColumn<QString>("mismatch");    // Empty: the programmer's geometry.
        const auto row = [](const char *tag, const char *hex, const char *description,
                            const char *mismatch) {
            QTest::newRow(tag) << QByteArray::fromHex(hex) << QString(description)
                               << QString(mismatch);
        };
        row("1 Gbit", "ECF1009540", "1 Gbit, 3.3 V, x8, 2048 + 64-byte pages, 128 KiB blocks", "");
        row("1.8 V", "2CA1801502", "1 Gbit, 1.8 V, x8, 2048 + 64-byte pages, 128 KiB blocks", "");
        row("2 Gbit", "ECDA109544", "2 Gbit, 3.3 V, x8, 2048 + 64-byte pages, 128 KiB blocks",
            "2 Gbit with 2048-byte pages");
        row("4 KiB pages", "ECF1009640", "1 Gbit, 3.3 V, x8, 4096 + 128-byte pages, 128 KiB blocks",
            "1 Gbit with 4096-byte pages");
        row("x16", "ADC1805D", "1 Gbit, 3.3 V, x16, 2048 + 64-byte pages, 128 KiB blocks",
            "1 Gbit x16 with 2048-byte pages");
        row("256 KiB blocks", "ECF1002540",
            "1 Gbit, 3.3 V, x8, 2048 + 64-byte pages, 256 KiB blocks",
            "1 Gbit with 2048-byte pages and 256 KiB blocks");
        row("small pages", "EC79", "1 Gbit, 3.3 V, x8, 512 + 16-byte pages, 16 KiB blocks",
            "1 Gbit with 512-byte pages");
        row("no fourth byte", "ECF100", "", "");
        row("unknown code", "EC12009540", "", "");
    }

    void chipGeometry()
    {
        QFETCH(QByteArray, id);
        QFETCH(QString, mismatch);
        const ChipGeometry geometry = ChipGeometry::fromId(id);
        QTEST(geometry.description(), "description");
        QCOMPARE(geometry.decoded && !geometry.matchesProgrammer(), !mismatch.isEmpty());
        if (!mismatch.isEmpty())
            QCOMPARE(geometry.mismatch(), mismatch);
    }

    void chipTable()
    {
        QFETCH(QByteArray, id);
        QFETCH(QString, name);
        QFETCH(int, millivolts);
        QFETCH(QString, maker);
        const ChipModel *model = findChipModel(id);
        QCOMPARE(model ? QString::fromLatin1(model->name) : QString(), name);
        QCOMPARE(model ? model->millivolts : 0, millivolts);
        QCOMPARE(makerName(quint8(id.at(0))), maker);
    }
};

QTEST_GUILESS_MAIN(TestImageDirectory)
#include "tst_imagedirectory.moc"
