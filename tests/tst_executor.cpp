// Flash operations end to end on the simulated programmer: bad blocks, reports, writes, updates.
#include "protocol/commands.h"
#include "sim/nandchip.h"
#include "sim/simfirmware.h"
#include "support/enginefixture.h"

#include <QTest>

using Kind = AProgrammer::OperationKind;

namespace {

using Geometry::BlockSize;

const QByteArray Erased(BlockSize, char(0xFF));

} // namespace

class tst_Executor : public QObject
{
    Q_OBJECT

private slots:
    void reports_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QList<int>>("blocks");
        QTest::addColumn<QString>("report"); // the lines after the title
        QTest::addColumn<QList<int>>("leftOut");
        const QString leftOut("info: 2 image block(s) at the end have no good Flash block left (2 "
                              "bad blocks): 1022...1023|");
        QTest::newRow("read, no good block left")
            << QByteArray("bad=1020,1021,1022,1023") << Kind::Read << QList<int>{1019, 1020}
            << "error: No good Flash block is left for block 1020|finished: Failed" << QList<int>();
        QTest::newRow("whole read, marked")
            << QByteArray("firmware=1.0;bad=5,700") << Kind::Read << QList<int>()
            << leftOut + "finished: Complete" << QList<int>{1022, 1023};
        QTest::newRow("information")
            << QByteArray("bad=3,700") << Kind::Information << QList<int>()
            << leftOut + "chip: Samsung K9F1G08U0x [3, 700]|info: Samsung K9F1G08U0x detected.|"
                         "info: Found 2 bad block(s): 3, 700|finished: Complete"
            << QList<int>{1022, 1023};
    }

    void reports()
    {
        QFETCH(QByteArray, config);
        QFETCH(Kind, kind);
        QFETCH(QList<int>, blocks);
        SimEngine sim(config);
        const QStringList lines =
            sim.run([&](AProgrammer &e) { return e.request(kind, BlockScope::list(blocks)); });
        QTEST(lines.mid(1).join('|'), "report");
        QTEST(sim.result().leftOut, "leftOut");
        QCOMPARE(sim.result().succeeded(), lines.last() == "finished: Complete");
    }

    // A block whose last page is uncorrectable still fills the buffer with the pages that arrived.
    void failedReadKeepsWhatArrived()
    {
        SimEngine sim("flip=1:131071:0,1:131071:1");
        QVERIFY(loadImage(*sim.engine, blockPattern(0) + blockPattern(1)));
        QCOMPARE(sim.run([](AProgrammer &e) { return e.program({1}); }).last(),
                 "finished: Complete");
        QVERIFY(loadImage(*sim.engine, Erased + Erased));
        QCOMPARE(sim.run([](AProgrammer &e) { return e.read({1}); }).last(), "finished: Failed");
        const int arrived = BlockSize - Geometry::PageSize;
        QVERIFY(bufferImage(*sim.engine).mid(BlockSize, arrived) == blockPattern(1).left(arrived));
    }

    void writes_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QList<int>>("blocks");
        QTest::addColumn<int>("eraseFailures"); // passing ones, before the first success
        QTest::addColumn<QString>("end");
        // Flash block: what it holds afterwards; - erased, = as before, or that image block.
        QTest::addColumn<QString>("chip");
        const QString complete("finished: Complete"), failed("finished: Failed");
        QTest::newRow("whole erase, fast")
            << QByteArray("1") << Kind::Erase << QList<int>() << 0 << complete << "3:- 700:-";
        QTest::newRow("whole erase, block by block")
            << QByteArray("erase-fail=9") << Kind::Erase << QList<int>() << 0 << complete
            << "3:- 700:-";
        QTest::newRow("listed erase stops at a failure")
            << QByteArray("erase-fail=9") << Kind::Erase << QList<int>{3, 9, 700} << 0 << failed
            << "3:- 700:=";
        // The directory's block 2 is erased first: it moves before any block above it is written.
        QTest::newRow("erase fails twice: remapped")
            << QByteArray("erase-fail=2") << Kind::AutoProgram << QList<int>{1, 2, 3} << 0
            << complete << "1:1 3:2 4:3";
        QTest::newRow("erase fails once: retried")
            << QByteArray("1") << Kind::AutoProgram << QList<int>{10} << 1 << complete << "10:10";
        // Written like any other request: the bad block is skipped, never written in place.
        QTest::newRow("whole flash: remapped") << QByteArray("erase-fail=2") << Kind::AutoProgram
                                               << QList<int>() << 0 << complete << "1:1 3:2 4:3";
        // The image's last block holds data, but the bad block leaves it no good block.
        QTest::newRow("whole flash that cannot fit: refused untouched")
            << QByteArray("bad=5") << Kind::AutoProgram << QList<int>() << 0 << failed << "9:=";
    }

    // Auto-programming marks a block that fails to erase bad and moves on to the next good one.
    void writes()
    {
        QFETCH(QByteArray, config);
        QFETCH(Kind, kind);
        QFETCH(QList<int>, blocks);
        QFETCH(int, eraseFailures);
        QFETCH(QString, chip);
        SimEngine sim(config);
        QByteArray image;
        for (int block = 0; block < 12; ++block)
            image += blockPattern(quint32(block));
        // Only the row with a bad block from the start has data in the image's last block.
        if (config == "bad=5")
            image += QByteArray((1023 - 12) * BlockSize, char(0xFF)) + blockPattern(1023);
        QVERIFY(loadImage(*sim.engine, image));
        sim.set.firmware(0).injectAnswerFault({SimFirmware::AnswerFault::ErrorStatus,
                                               Npx4Protocol::StatusOperationError,
                                               Npx4Protocol::CmdErase},
                                              eraseFailures);
        for (const int block : {3, 9, 700})
            writeChipBlock(sim.chip(), block, blockPattern(quint32(1000 + block)));
        const int before = sim.set.firmware(0).commandCount();
        const QStringList lines =
            sim.run([&](AProgrammer &e) { return e.request(kind, BlockScope::list(blocks)); });
        QTEST(lines.last(), "end");
        // The whole chip is erased at once unless a block fails to erase.
        if (kind == Kind::Erase && blocks.isEmpty())
            QCOMPARE(sim.set.firmware(0).commandCount() - before < 20, config == "1");
        const bool marking = kind == Kind::AutoProgram && config.contains("erase-fail");
        QCOMPARE(lines.count("info: Block 2 marked as bad"), marking ? 1 : 0);
        QCOMPARE(sim.result().newlyBad, marking ? QList<int>{2} : QList<int>());
        QCOMPARE(sim.chip().isBad(2), marking);
        for (const QString &item : chip.split(' ')) {
            const int block = item.section(':', 0, 0).toInt();
            const QString held = item.section(':', 1);
            const QByteArray expected = held == "-"   ? Erased
                                        : held == "=" ? blockPattern(quint32(1000 + block))
                                                      : blockPattern(held.toUInt());
            QVERIFY2(chipBlock(sim.chip(), block) == expected, qPrintable(item));
        }
    }

    // An update writes the head and the chunks whose directory entries changed or were added.
    void update()
    {
        SimEngine sim;
        const QByteArray e1 = directoryEntry('1');
        const std::pair<QList<QByteArray>, QString> steps[] = {
            {{e1, directoryEntry('2')}, "0...66"},
            {{e1, directoryEntry('5'), directoryEntry('3')}, "0...2, 35...98"}};
        for (const auto &[entries, blocks] : steps) {
            QVERIFY(loadImage(*sim.engine, imageWithDirectory(entries)));
            const QStringList lines = sim.run([](AProgrammer &e) { return e.update(); });
            QCOMPARE(lines.filter("begin: "),
                     QStringList({"begin: Reading firmware version info...",
                                  "begin: Auto-programming 67 Flash block(s): " + blocks}));
            QCOMPARE(lines.last(), "finished: Complete");
            QCOMPARE(sim.run([](AProgrammer &e) { return e.verifyAuto(); }).last(),
                     "finished: Complete");
        }
    }
};

QTEST_GUILESS_MAIN(tst_Executor)
#include "tst_executor.moc"
