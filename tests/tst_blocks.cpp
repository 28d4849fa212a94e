#include "nand/blocktransfer.h"
#include "nand/ecc.h"
#include "protocol/commands.h"
#include "sim/nandchip.h"
#include "support/logcapture.h"
#include "support/protocolrig.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

using Fault = SimFirmware::AnswerFault;
using Operation = std::function<Programmer::Result(BlockTransfer &)>;
Q_DECLARE_METATYPE(Operation)

namespace {

using Geometry::BlockSize;

QByteArray randomData(int size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    return data;
}

void makeReady(SimRig &rig)
{
    QVERIFY(rig.programmer.open(0));
    QCOMPARE(rig.programmer.power(true), Programmer::ResultOk);
}

Operation verify(const QByteArray &expected)
{
    return [=](BlockTransfer &t) { return t.verifyBlock(3, expected); };
}

// Kind (0 corrected, 1 damaged code, 2 uncorrectable), block, offset and bit of each event.
QString eventsText(const QList<EccEvent> &events)
{
    QStringList texts;
    for (const EccEvent &e : events)
        texts.append(
            QString("%1 %2 0x%3 %4").arg(e.kind).arg(e.block).arg(e.offset, 0, 16).arg(e.bit));
    return texts.join(" | ");
}

} // namespace

class TestBlocks : public QObject
{
    Q_OBJECT

private slots:

    void programLayout_data()
    {
        QTest::addColumn<bool>("useEcc");
        QTest::addColumn<QByteArray>("data");
        // Even an erased block needs its codes.
        QTest::newRow("erased, ECC") << true << QByteArray(BlockSize, char(0xFF));
        QTest::newRow("data, no ECC") << false << randomData(BlockSize, 1);
        QTest::newRow("short data, ECC") << true << randomData(100000, 2);
    }

    // Every page holds its data (short data padded with 0xFF) and, with ECC, the spare record
    // FF 00 + code.
    void programLayout()
    {
        QFETCH(bool, useEcc);
        QFETCH(QByteArray, data);
        SimRig rig;
        BlockTransfer transfer(rig.programmer);
        rig.programmer.setUseEcc(useEcc); // taken up by the opening
        makeReady(rig);
        QCOMPARE(transfer.programBlock(9, data), Programmer::ResultOk);
        const QByteArray block = data + QByteArray(BlockSize - data.size(), char(0xFF));
        for (int p = 0; p < Geometry::PagesPerBlock; ++p) {
            QByteArray page(EccPageSize, 0);
            QByteArray spare(NandChip::SpareSize, 0);
            rig.set.chip(0).readPage(9, p, page.data(), spare.data());
            QVERIFY(page == block.mid(p * EccPageSize, EccPageSize));
            const QByteArray record = useEcc ? QByteArray("\xff\x00", 2) + calcPageEcc(page)
                                             : QByteArray(EccSpareRecordSize, char(0xFF));
            QCOMPARE(spare.left(EccSpareRecordSize).toHex(), record.toHex());
        }
    }

    // Corrected and damaged codes are reported and the read goes on; an uncorrectable page ends
    // it at once, without retry, and the rest of its stream is not taken for the next transfer.
    void eccOutcomes()
    {
        // Flips at page 5, subpage 2 and twice in page 10, subpage 1.
        SimRig rig("flip=7:11507:5,7:20780:1,7:20880:6");
        BlockTransfer transfer(rig.programmer);
        makeReady(rig);
        const QByteArray data = randomData(BlockSize, 4);
        QCOMPARE(transfer.programBlock(7, data), Programmer::ResultOk);
        rig.set.chip(0).addSpareFlip(7, 3, 2 + 3 * 2 + 1, 4); // code of page 3, subpage 2
        QSignalSpy infos(&transfer, &BlockTransfer::info);
        const int commands = rig.firmware().commandCount();
        QByteArray read(BlockSize, 0);
        QCOMPARE(transfer.readBlock(7, read), Programmer::ResultEccUncorrectable);
        QCOMPARE(rig.programmer.errorString(),
                 "Uncorrectable ECC error found (block 7, page 10, subpage 1)");
        QCOMPARE(rig.firmware().commandCount(), commands + 1);
        QVERIFY(read.left(10 * EccPageSize) == data.left(10 * EccPageSize));
        QVERIFY(read.mid(11 * EccPageSize) == QByteArray(53 * EccPageSize, 0)); // never received
        QCOMPARE(infos.count(), 2);
        QCOMPARE(infos.at(0).at(0), "Damaged ECC code found (block 7, page 3, subpage 2)");
        QCOMPARE(infos.at(1).at(0),
                 "Correctable error found and fixed (block 7, offset 0x002cf3, bit 5)");
        QCOMPARE(eventsText(transfer.takeEccEvents()),
                 "1 7 0x1a00 -1 | 0 7 0x2cf3 5 | 2 7 0x5100 -1");
        QCOMPARE(transfer.blankCheck(9), Programmer::ResultOk);
        // A complete read leaves nothing to drop either.
        LogCapture log("npx4.protocol");
        QCOMPARE(transfer.blankCheck(9), Programmer::ResultOk);
        QCOMPARE(log.messages(), QStringList());
    }

    void transfers_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QList<Fault>>("faults");
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("text");
        // Block, offset, expected and actual byte of the first difference found.
        QTest::addColumn<QList<int>>("difference");
        const auto row = [](const char *name, const QByteArray &stored, const QList<Fault> &faults,
                            const Operation &operation, int result, const QString &text,
                            const QList<int> &difference = {}) {
            QTest::newRow(name) << stored << faults << operation << result << text << difference;
        };
        QByteArray data = randomData(BlockSize, 6);
        data[0x800] = 0x12;
        QByteArray changed = data;
        changed[0x800] = 0x34;
        row("verify difference", data, {}, verify(changed), int(Programmer::ResultVerifyFailed),
            "Verify failed for block 3 at 0x00800: expected 0x34, actual 0x12",
            {3, 0x800, 0x34, 0x12});
        row("verify first page only", data, {}, verify(changed.left(EccPageSize)), 0, "");
        // More than a block is refused, not cut.
        row("verify oversized", data, {}, verify(QByteArray(BlockSize + 1, 0)), 3,
            "Data for block 3 is larger than a block (131073 bytes)");
        QByteArray lastByte(BlockSize, char(0xFF));
        lastByte[BlockSize - 1] = 0x7F;
        const Operation blank = [](BlockTransfer &t) { return t.blankCheck(3); };
        row("blank, last byte", lastByte, {}, blank, int(Programmer::ResultNotBlank),
            "Block 3 is not clean: offset 0x1ffff, expected 0xff, actual 0x7f",
            {3, 0x1ffff, 0xff, 0x7f});

        const quint8 read = Npx4Protocol::CmdReadBlock;
        row("third attempt succeeds", data,
            {{Fault::CorruptCrc, 0, read}, {Fault::ErrorStatus, 0x40, read}}, verify(data), 0, "");
        // The silence closes the link: no retry on it, and the user reads why.
        row("no answer", data, {{Fault::NoAnswer, 0, read}}, verify(data), 2, "Receive timeout");
        // The data phase stops inside the spare record of page 5: the read waits out the time-out.
        const int cut = 5 * (EccPageSize + EccSpareRecordSize) + EccPageSize + 10;
        row("spare cut", data, {{Fault::TruncateData, cut, read}}, verify(data), 0, "");
    }

    // Block 3 holds the data stored before the operation runs, with ECC.
    void transfers()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QList<Fault>, faults);
        QFETCH(Operation, operation);
        QFETCH(int, result);
        SimRig rig;
        BlockTransfer transfer(rig.programmer);
        makeReady(rig);
        QCOMPARE(transfer.programBlock(3, stored), Programmer::ResultOk);
        for (const Fault &fault : faults)
            rig.firmware().injectAnswerFault(fault);
        QCOMPARE(operation(transfer), result);
        if (result != Programmer::ResultOk)
            QTEST(rig.programmer.errorString(), "text");
        const std::optional<BlockDifference> d = transfer.difference();
        const QList<int> difference =
            d ? QList<int>({d->block, int(d->offset), d->expected, d->actual}) : QList<int>();
        QTEST(difference, "difference");
    }
};

QTEST_GUILESS_MAIN(TestBlocks)
#include "tst_blocks.moc"
