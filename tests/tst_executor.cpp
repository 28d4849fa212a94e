// Flash operations run end to end against the simulated programmer: block mapping around bad
// blocks, the reports, erasing, auto-programming with bad-block marking, and updates.
#include "protocol/commands.h"
#include "sim/nandchip.h"
#include "sim/simfirmware.h"
#include "support/enginefixture.h"

#include <QTest>

using Kind = AProgrammer::OperationKind;

namespace {

constexpr int BlockSize = 131072;

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
        QTest::addColumn<QString>("report");      // the lines after the title
        QTest::addColumn<QList<int>>("physical"); // where a read finds the blocks
        const QString leftOut("info: 2 image block(s) at the end have no good Flash block left (2 "
                              "bad blocks): 1022...1023|");
        const QList<int> read{5, 6, 2};
        QTest::newRow("read, listed bad block") << QByteArray("bad=5") << Kind::Read << read
                                                << "finished: Complete" << QList<int>{6, 7, 2};
        // A list that cannot fit is refused before any block is read.
        QTest::newRow("read, no good block left")
            << QByteArray("bad=1020,1021,1022,1023") << Kind::Read << QList<int>{1019, 1020}
            << "error: No good Flash block is left for block 1020|finished: Failed" << QList<int>();
        // The whole flash is as much of it as fits into the good blocks.
        QTest::newRow("whole read, marked")
            << QByteArray("firmware=1.0;bad=5,700") << Kind::Read << QList<int>()
            << leftOut + "finished: Complete" << QList<int>();
        QTest::newRow("information")
            << QByteArray("bad=3,700") << Kind::Information << QList<int>()
            << leftOut + "chip: Samsung K9F1G08U0x [3, 700]|info: Samsung K9F1G08U0x detected.|"
                         "info: Found 2 bad block(s): 3, 700|finished: Complete"
            << QList<int>();
    }

    void reports()
    {
        QFETCH(QByteArray, config);
        QFETCH(Kind, kind);
        QFETCH(QList<int>, blocks);
        QFETCH(QList<int>, physical);
        SimEngine sim(config);
        for (const int block : physical)
            writeChipBlock(sim.chip(), block, blockPattern(quint32(block)));
        const QStringList lines =
            sim.run([&](AProgrammer &e) { return e.request(kind, blocks, {}); });
        QTEST(lines.mid(1).join('|'), "report");
        for (int i = 0; i < physical.size(); ++i)
            QVERIFY(bufferImage(*sim.engine).mid(blocks[i] * BlockSize, BlockSize) ==
                    blockPattern(quint32(physical[i])));
    }

    // A block that fails to read (its last page is uncorrectable) still fills its slice of the
    // buffer with the pages that arrived.
    void failedReadKeepsWhatArrived()
    {
        SimEngine sim("flip=1:131071:0,1:131071:1");
        QVERIFY(loadImage(*sim.engine, blockPattern(0) + blockPattern(1)));
        QCOMPARE(sim.run([](AProgrammer &e) { return e.program({1}); }).last(),
                 "finished: Complete");
        QVERIFY(loadImage(*sim.engine, Erased + Erased));
        QCOMPARE(sim.run([](AProgrammer &e) { return e.read({1}); }).last(), "finished: Failed");
        const int arrived = BlockSize - 2048;
        QVERIFY(bufferImage(*sim.engine).mid(BlockSize, arrived) == blockPattern(1).left(arrived));
    }

    void erase_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QList<int>>("blocks");
        QTest::addColumn<bool>("fast");
        QTest::addColumn<QString>("end");
        QTest::newRow("whole, fast erase")
            << QByteArray("1") << QList<int>() << true << "finished: Complete";
        QTest::newRow("whole, block by block past a failure")
            << QByteArray("erase-fail=9") << QList<int>() << false << "finished: Complete";
        QTest::newRow("list stops at a failure")
            << QByteArray("erase-fail=9") << QList<int>{3, 9, 700} << false << "finished: Failed";
    }

    void erase()
    {
        QFETCH(QByteArray, config);
        QFETCH(QList<int>, blocks);
        SimEngine sim(config);
        for (const int block : {3, 700, 1023})
            writeChipBlock(sim.chip(), block, blockPattern(quint32(block)));
        const int before = sim.set.firmware(0).commandCount();
        QTEST(sim.run([&](AProgrammer &e) { return e.erase(blocks); }).last(), "end");
        QCOMPARE(chipBlock(sim.chip(), 3), Erased);
        const bool whole = blocks.isEmpty();
        QCOMPARE(chipBlock(sim.chip(), 700) == Erased, whole);
        if (whole) {
            QTEST(sim.set.firmware(0).commandCount() - before < 20, "fast");
            QCOMPARE(sim.log->progress.last(), 1024);
        }
    }

    void autoProgram_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<int>("eraseFailures"); // passing ones, before the first success
        QTest::addColumn<QList<int>>("blocks");
        QTest::addColumn<QList<int>>("physical"); // where they end up; none: refused
        QTest::newRow("erase fails twice: remapped")
            << QByteArray("erase-fail=10") << 0 << QList<int>{10, 11} << QList<int>{11, 12};
        QTest::newRow("erase fails once: retried")
            << QByteArray("1") << 1 << QList<int>{10} << QList<int>{10};
        // Written like any other request: the bad block is skipped, never written in place.
        QTest::newRow("whole flash: remapped")
            << QByteArray("erase-fail=10") << 0 << QList<int>() << QList<int>{9, 11, 12};
        // The image's last block holds data, but the bad block leaves it no good block.
        QTest::newRow("whole flash that cannot fit: refused untouched")
            << QByteArray("bad=5") << 0 << QList<int>() << QList<int>();
    }

    void autoProgram()
    {
        QFETCH(QByteArray, config);
        QFETCH(int, eraseFailures);
        QFETCH(QList<int>, blocks);
        QFETCH(QList<int>, physical);
        SimEngine sim(config);
        const bool refused = physical.isEmpty();
        QByteArray image;
        for (int block = 0; block < 12; ++block)
            image += blockPattern(quint32(block));
        if (refused)
            image += QByteArray((1023 - 12) * BlockSize, char(0xFF)) + blockPattern(1023);
        QVERIFY(loadImage(*sim.engine, image));
        sim.set.firmware(0).injectAnswerFault({SimFirmware::AnswerFault::ErrorStatus,
                                               Npx4Protocol::StatusOperationError,
                                               Npx4Protocol::CmdErase},
                                              eraseFailures);
        // A refused request leaves what the chip holds as it was.
        writeChipBlock(sim.chip(), 9, blockPattern(99));
        const QStringList lines = sim.run([&](AProgrammer &e) { return e.autoProgram(blocks); });
        QCOMPARE(lines.last(), refused ? "finished: Failed" : "finished: Complete");
        const bool marking = config.contains("erase-fail");
        QCOMPARE(lines.count("info: Block 10 marked as bad"), marking ? 1 : 0);
        QCOMPARE(sim.chip().isBad(10), marking);
        const QList<int> logical = blocks.isEmpty() ? QList<int>{9, 10, 11} : blocks;
        for (int i = 0; i < physical.size(); ++i)
            QVERIFY(chipBlock(sim.chip(), physical[i]) == blockPattern(quint32(logical[i])));
        if (refused)
            QVERIFY(chipBlock(sim.chip(), 9) == blockPattern(99));
    }

    // An update writes the head and the chunks whose entries changed or were added, the first
    // time on a blank flash; the flash then holds the buffer's image.
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
