#include "nand/ecc.h"
#include "protocol/commands.h"
#include "sim/nandchip.h"
#include "support/logcapture.h"
#include "support/protocolrig.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

using Fault = SimFirmware::AnswerFault;
using Operation = std::function<int(Programmer &)>;
Q_DECLARE_METATYPE(Operation)

namespace {

constexpr int BlockSize = 131072;

QByteArray randomData(int size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    return data;
}

// Opens and powers the simulated programmer, with ECC as asked.
void makeReady(SimRig &rig, bool useEcc = true)
{
    QVERIFY(rig.programmer.open(0));
    QCOMPARE(rig.programmer.power(true), int(Programmer::ResultOk));
    if (!useEcc)
        QCOMPARE(rig.programmer.setUseEcc(false), int(Programmer::ResultOk));
}

Operation verify(const QByteArray &expected)
{
    return [=](Programmer &p) { return p.verifyBlock(3, expected); };
}

QString hexByte(char byte)
{
    return QStringLiteral("%1").arg(uchar(byte), 2, 16, QLatin1Char('0'));
}

} // namespace

class TestBlocks : public QObject
{
    Q_OBJECT

private slots:

    void refusedWithoutTraffic()
    {
        const QByteArray oversized(BlockSize + 1, 0);
        QByteArray data;
        const QList<Operation> all = {
            [&](Programmer &p) { return p.programBlock(1, oversized.left(BlockSize)); },
            [&](Programmer &p) { return p.readBlock(1, data); },
            [&](Programmer &p) { return p.verifyBlock(1, oversized.left(BlockSize)); },
            [](Programmer &p) { return p.blankCheck(1); }};
        SimRig rig;
        for (const Operation &operation : all) {
            QCOMPARE(operation(rig.programmer), int(Programmer::ResultNotConnected));
            QCOMPARE(rig.programmer.errorString(), "Supported programmer device is not connected");
        }
        // More than a block can neither be stored nor compared with one: refused, not cut.
        makeReady(rig);
        const int writes = rig.writes();
        QCOMPARE(rig.programmer.programBlock(1, oversized),
                 int(Programmer::ResultInvalidOperation));
        QCOMPARE(rig.programmer.verifyBlock(1, oversized), int(Programmer::ResultInvalidOperation));
        QCOMPARE(rig.programmer.errorString(),
                 "Data for block 1 is larger than a block (131073 bytes)");
        QCOMPARE(rig.writes(), writes);
    }

    void programLayout_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<bool>("useEcc");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("sent");

        const QByteArray erased(BlockSize, char(0xFF));
        QTest::newRow("erased, no ECC") << QByteArray() << false << erased << false;
        QTest::newRow("empty, no ECC") << QByteArray() << false << QByteArray() << false;
        QTest::newRow("erased, firmware 1.3")
            << QByteArray("firmware=1.3") << true << erased << false;
        QTest::newRow("erased, ECC") << QByteArray() << true << erased << true;
        QTest::newRow("data, no ECC") << QByteArray() << false << randomData(BlockSize, 1) << true;
        QTest::newRow("data, ECC") << QByteArray() << true << randomData(BlockSize, 1) << true;
        QTest::newRow("short data, ECC") << QByteArray() << true << randomData(100000, 2) << true;
    }

    void programLayout()
    {
        QFETCH(QByteArray, config);
        QFETCH(bool, useEcc);
        QFETCH(QByteArray, data);

        SimRig rig(config);
        makeReady(rig, useEcc);
        const int writes = rig.writes();
        QCOMPARE(rig.programmer.programBlock(9, data), int(Programmer::ResultOk));
        QTEST(rig.writes() > writes, "sent");

        // Every page holds its data (short data padded with 0xFF) and, with ECC, the spare record
        // FF 00 + code.
        const QByteArray block = data + QByteArray(BlockSize - data.size(), char(0xFF));
        for (int p = 0; p < 64; ++p) {
            QByteArray page(EccPageSize, 0);
            QByteArray spare(NandChip::SpareSize, 0);
            rig.set.chip(0).readPage(9, p, page.data(), spare.data());
            QVERIFY(page == block.mid(p * EccPageSize, EccPageSize));
            const QByteArray record = rig.programmer.eccActive()
                                          ? QByteArray("\xff\x00", 2) + calcPageEcc(page)
                                          : QByteArray(EccSpareRecordSize, char(0xFF));
            QCOMPARE(spare.left(EccSpareRecordSize).toHex(), record.toHex());
        }
        QSignalSpy infos(&rig.programmer, &Programmer::info);
        QByteArray read;
        QCOMPARE(rig.programmer.readBlock(9, read), int(Programmer::ResultOk));
        QVERIFY(read == block);
        QCOMPARE(infos.count(), 0); // the codes cover the padding too
    }

    void readRetries_data()
    {
        QTest::addColumn<QList<Fault>>("faults");
        QTest::addColumn<int>("result");
        QTest::addColumn<QStringList>("traces");
        QTest::addColumn<QString>("text");

        const quint8 read = Npx4Protocol::CmdReadBlock;
        const Fault failure{Fault::ErrorStatus, 0x40, read};
        const QString retry = QStringLiteral("Error ocurred during read, repeat %1 of 3");
        QTest::newRow("third attempt succeeds")
            << QList<Fault>{{Fault::CorruptCrc, 0, read}, failure} << int(Programmer::ResultOk)
            << QStringList{retry.arg(2), retry.arg(3)} << QString();
        QTest::newRow("three failures")
            << QList<Fault>{failure, failure, failure} << int(Programmer::ResultOperationError)
            << QStringList{retry.arg(2), retry.arg(3)} << "Operation error";
        // The silence closes the link: no retry on it, and the user reads why.
        QTest::newRow("no answer")
            << QList<Fault>{{Fault::NoAnswer, 0, read}} << int(Programmer::ResultTransferFailed)
            << QStringList() << "Receive timeout";
        // The data phase stops inside the spare record of page 5: the read waits out the time-out.
        const int cut = 5 * (EccPageSize + EccSpareRecordSize) + EccPageSize + 10;
        QTest::newRow("spare cut")
            << QList<Fault>{{Fault::TruncateData, cut, read}} << int(Programmer::ResultOk)
            << QStringList{"Failed to read ECC data from programmer (read "
                           "12288 bytes)",
                           retry.arg(2)}
            << QString();
    }

    void readRetries()
    {
        QFETCH(QList<Fault>, faults);
        QFETCH(int, result);

        SimRig rig;
        makeReady(rig);
        const QByteArray data = randomData(BlockSize, 3);
        QCOMPARE(rig.programmer.programBlock(2, data), int(Programmer::ResultOk));
        for (const Fault &fault : faults)
            rig.firmware().injectAnswerFault(fault);

        LogCapture log("npx4.nand");
        QByteArray read;
        QCOMPARE(rig.programmer.readBlock(2, read), result);
        QTEST(log.messages(), "traces");
        QVERIFY(result != Programmer::ResultOk || read == data);
        if (result != Programmer::ResultOk)
            QTEST(rig.programmer.errorString(), "text");
    }

    // Corrected and damaged codes are reported and the read goes on; an uncorrectable page ends
    // it at once, without retry, and the rest of its stream is not taken for the next transfer.
    void eccOutcomes()
    {
        SimRig rig;
        makeReady(rig);
        NandChip &chip = rig.set.chip(0);
        const QByteArray data = randomData(BlockSize, 4);
        QCOMPARE(rig.programmer.programBlock(7, data), int(Programmer::ResultOk));
        QCOMPARE(rig.programmer.programBlock(8, data), int(Programmer::ResultOk));
        chip.addSpareFlip(7, 3, 2 + 3 * 2 + 1, 4);      // code of page 3, subpage 2
        chip.addDataFlip(7, 107251, 5);                 // page 52, subpage 2
        chip.addDataFlip(8, 10 * EccPageSize + 300, 1); // page 10, subpage 1
        chip.addDataFlip(8, 10 * EccPageSize + 400, 6);
        QSignalSpy infos(&rig.programmer, &Programmer::info);

        QByteArray read;
        QCOMPARE(rig.programmer.readBlock(7, read), int(Programmer::ResultOk));
        QVERIFY(read == data);
        QCOMPARE(infos.count(), 2);
        QCOMPARE(infos.at(0).at(0), "Damaged ECC code found (block 7, page 3, subpage 2)");
        QCOMPARE(infos.at(1).at(0),
                 "Correctable error found and fixed (block 7, offset 0x01a2f3, bit 5)");

        const int commands = rig.firmware().commandCount();
        read.fill(0);
        LogCapture log("npx4.protocol");
        QCOMPARE(rig.programmer.readBlock(8, read), int(Programmer::ResultEccUncorrectable));
        QCOMPARE(log.messages(), QStringList()); // nothing was left of the complete read
        QCOMPARE(rig.programmer.errorString(),
                 "Uncorrectable ECC error found (block 8, page 10, subpage 1)");
        QCOMPARE(rig.firmware().commandCount(), commands + 1);
        QVERIFY(read.left(10 * EccPageSize) == data.left(10 * EccPageSize));
        QVERIFY(read.mid(11 * EccPageSize) == QByteArray(53 * EccPageSize, 0)); // never received
        QCOMPARE(rig.programmer.readBlock(7, read), int(Programmer::ResultOk));
        QVERIFY(read == data);
    }

    void compare_data()
    {
        QTest::addColumn<bool>("useEcc");
        QTest::addColumn<QByteArray>("stored"); // programmed block by block, without erase
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("text");

        const QByteArray data = randomData(BlockSize, 6);
        QByteArray changed = data;
        changed[0x800] = char(~data[0x800]);
        QTest::newRow("verify difference")
            << true << data << verify(changed) << int(Programmer::ResultVerifyFailed)
            << QStringLiteral("Verify failed for block 3 at 0x00800: expected 0x%1, actual 0x%2")
                   .arg(hexByte(changed[0x800]), hexByte(data[0x800]));
        QTest::newRow("verify first page only")
            << true << data << verify(changed.left(EccPageSize)) << 0 << QString();

        // Programming without erase only clears bits: the block holds the AND of both contents.
        const QByteArray other = randomData(BlockSize, 7);
        QTest::newRow("programmed twice")
            << false << data + other << verify(other) << int(Programmer::ResultVerifyFailed)
            << QStringLiteral("Verify failed for block 3 at 0x00000: expected 0x%1, actual 0x%2")
                   .arg(hexByte(other[0]), hexByte(char(data[0] & other[0])));
        QTest::newRow("programmed twice, ECC")
            << true << data + other << verify(other) << int(Programmer::ResultEccUncorrectable)
            << QStringLiteral("Uncorrectable ECC error found (block 3, page 0, subpage 0)");

        const Operation blank = [](Programmer &p) { return p.blankCheck(3); };
        QTest::newRow("blank") << true << QByteArray() << blank << 0 << QString();
        QByteArray lastByte(BlockSize, char(0xFF));
        lastByte[BlockSize - 1] = 0x7F;
        QTest::newRow("blank, last byte")
            << false << lastByte << blank << int(Programmer::ResultNotBlank)
            << QStringLiteral("Block 3 is not clean: offset 0x1ffff, expected 0xff, actual 0x7f");
    }

    void compare()
    {
        QFETCH(bool, useEcc);
        QFETCH(QByteArray, stored);
        QFETCH(Operation, operation);
        QFETCH(int, result);

        SimRig rig;
        makeReady(rig, useEcc);
        for (int start = 0; start < stored.size(); start += BlockSize)
            QCOMPARE(rig.programmer.programBlock(3, stored.mid(start, BlockSize)), 0);
        QCOMPARE(operation(rig.programmer), result);
        if (result != Programmer::ResultOk)
            QTEST(rig.programmer.errorString(), "text");
    }
};

QTEST_GUILESS_MAIN(TestBlocks)
#include "tst_blocks.moc"
