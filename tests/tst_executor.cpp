// Flash operations run end to end against the simulated programmer: block mapping around bad
// blocks, erasing, auto-programming with bad-block marking, the information report and updates.
#include "engine/blockrange.h"
#include "protocol/commands.h"
#include "sim/nandchip.h"
#include "sim/simdriver.h"
#include "sim/simfirmware.h"
#include "support/enginefixture.h"

#include <QTest>

namespace {

constexpr int BlockSize = 131072;

const QByteArray Erased(BlockSize, char(0xFF));

} // namespace

class tst_Executor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { registerBlockRangeTypes(); }

    void readSkipsBadBlocks_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QList<int>>("logical");
        QTest::addColumn<QList<int>>("physical");
        QTest::addColumn<QString>("end");
        QTest::newRow("bad-block list") << QByteArray("bad=5") << QList<int>{4, 5, 6}
                                        << QList<int>{4, 6, 7} << "finished: Complete";
        QTest::newRow("block marks") << QByteArray("firmware=1.0;bad=5") << QList<int>{4, 5, 6}
                                     << QList<int>{4, 6, 7} << "finished: Complete";
        // A list that cannot fit is refused before any block is read.
        QTest::newRow("no good block left")
            << QByteArray("bad=1020,1021,1022,1023") << QList<int>{1019, 1020} << QList<int>()
            << "error: No good Flash block is left for block 1020";
        // The whole flash is as much of it as fits into the good blocks.
        const QString leftOut("info: 2 image block(s) at the end have no good Flash block left (2 "
                              "bad blocks): 1022...1023");
        QTest::newRow("whole flash, bad-block list")
            << QByteArray("bad=5,700") << QList<int>() << QList<int>() << leftOut;
        QTest::newRow("whole flash, block marks")
            << QByteArray("firmware=1.0;bad=5,700") << QList<int>() << QList<int>() << leftOut;
    }

    void readSkipsBadBlocks()
    {
        QFETCH(QByteArray, config);
        QFETCH(QList<int>, logical);
        QFETCH(QList<int>, physical);
        QFETCH(QString, end);
        SimEngine sim(config);
        for (const int block : physical)
            writeChipBlock(sim.chip(), block, blockPattern(quint32(block)));
        const QStringList lines = sim.run([&](AProgrammer &e) { return e.read(logical); });
        QVERIFY2(lines.contains(end), qPrintable(lines.join('\n')));
        QCOMPARE(lines.last(), end.startsWith("error") ? "finished: Failed" : "finished: Complete");
        const QByteArray &buffer = bufferImage(*sim.engine);
        for (int i = 0; i < physical.size(); ++i)
            QVERIFY(buffer.mid(logical[i] * BlockSize, BlockSize) ==
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

    // Without the programmer's list, the walks of later blocks reuse what earlier ones learnt.
    void blockStatusAskedOncePerPhase()
    {
        SimEngine sim("firmware=1.0;bad=5");
        const auto commandsFor = [&](const QList<int> &blocks) {
            const int before = sim.set.firmware(0).commandCount();
            sim.run([&](AProgrammer &e) { return e.read(blocks); });
            return sim.set.firmware(0).commandCount() - before;
        };
        // Reading 6 alone asks about blocks 0 to 7; reading 4, 5, 6 adds only two reads to that.
        QCOMPARE(commandsFor({4, 5, 6}) - commandsFor({6}), 2);
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
        const QStringList lines = sim.run([&](AProgrammer &e) { return e.erase(blocks); });
        QTEST(lines.last(), "end");
        const int commands = sim.set.firmware(0).commandCount() - before;
        QCOMPARE(chipBlock(sim.chip(), 3), Erased);
        const bool whole = blocks.isEmpty();
        QCOMPARE(chipBlock(sim.chip(), 700) == Erased, whole);
        if (whole) {
            QTEST(commands < 20, "fast");
            QCOMPARE(sim.log->progress.last(), 1024);
        }
    }

    void autoProgram_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<int>("transientEraseFailures");
        QTest::addColumn<QList<int>>("blocks");
        QTest::addColumn<QList<int>>("physical");
        QTest::addColumn<QString>("end");
        // The image's last block holds data too.
        QTest::addColumn<bool>("full");
        QTest::newRow("erase fails twice: remapped")
            << QByteArray("erase-fail=10") << 0 << QList<int>{10, 11} << QList<int>{11, 12}
            << "finished: Complete" << false;
        QTest::newRow("erase fails once: retried")
            << QByteArray("1") << 1 << QList<int>{10} << QList<int>{10} << "finished: Complete"
            << false;
        // Written like any other request: the bad block is skipped, never written in place.
        QTest::newRow("whole flash: remapped")
            << QByteArray("erase-fail=10") << 0 << QList<int>() << QList<int>{9, 11, 12}
            << "finished: Complete" << false;
        // The image's last block holds data, but the bad block leaves it no good block.
        QTest::newRow("whole flash that cannot fit: refused untouched")
            << QByteArray("bad=5") << 0 << QList<int>() << QList<int>() << "finished: Failed"
            << true;
        QTest::newRow("list that cannot fit: refused untouched")
            << QByteArray("bad=1020,1021,1022,1023") << 0 << QList<int>{9, 1020} << QList<int>()
            << "finished: Failed" << false;
    }

    void autoProgram()
    {
        QFETCH(QByteArray, config);
        QFETCH(int, transientEraseFailures);
        QFETCH(QList<int>, blocks);
        QFETCH(QList<int>, physical);
        QFETCH(bool, full);
        SimEngine sim(config);
        QByteArray image;
        for (int block = 0; block < 12; ++block)
            image += blockPattern(quint32(block));
        if (full)
            image += QByteArray((1023 - 12) * BlockSize, char(0xFF)) + blockPattern(1023);
        QVERIFY(loadImage(*sim.engine, image));
        if (transientEraseFailures > 0) {
            sim.set.firmware(0).injectAnswerFault({SimFirmware::AnswerFault::ErrorStatus,
                                                   Npx4Protocol::StatusOperationError,
                                                   Npx4Protocol::CmdErase},
                                                  transientEraseFailures);
        }
        // A refused request leaves what the chip holds as it was.
        const QByteArray held = blockPattern(99);
        if (physical.isEmpty())
            writeChipBlock(sim.chip(), 9, held);
        const QStringList lines = sim.run([&](AProgrammer &e) { return e.autoProgram(blocks); });
        QTEST(lines.last(), "end");
        const bool marking = config.contains("erase-fail");
        QCOMPARE(lines.count("info: Block 10 marked as bad"), marking ? 1 : 0);
        QCOMPARE(sim.chip().isBad(10), marking);
        const QList<int> logical = blocks.isEmpty() ? QList<int>{9, 10, 11} : blocks;
        for (int i = 0; i < physical.size(); ++i)
            QVERIFY(chipBlock(sim.chip(), physical[i]) == blockPattern(quint32(logical[i])));
        if (physical.isEmpty())
            QVERIFY(chipBlock(sim.chip(), 9) == held);
    }

    void information_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("report");
        QTest::newRow("bad blocks")
            << QByteArray("bad=3,700")
            << "info: 2 image block(s) at the end have no good Flash block left (2 bad blocks): "
               "1022...1023|chip: Samsung K9F1G08U0x [3, 700]|info: Samsung K9F1G08U0x "
               "detected.|info: Found 2 bad block(s): 3, 700|finished: Complete";
        QTest::newRow("no bad blocks") << QByteArray("chip=ADF18015AD")
                                       << "chip: Hynix HY27UF081G2M []|info: Hynix HY27UF081G2M "
                                          "detected.|info: Bad blocks not found|finished: Complete";
        QTest::newRow("no chip")
            << QByteArray("chip=none")
            << "error: Flash is not inserted to the programmer|finished: Failed";
        // Firmware without the ID command and the list: no chip test, statuses from block marks.
        QTest::newRow("old firmware") << QByteArray("firmware=1.0;bad=700,3")
                                      << "info: 2 image block(s) at the end have no good Flash "
                                         "block left (2 bad blocks): 1022...1023|chip: Unknown "
                                         "flash device [3, 700]|info: Unknown flash "
                                         "device detected.|info: Found 2 bad block(s): 3, "
                                         "700|finished: Complete";
    }

    void information()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, report);
        SimEngine sim(config);
        QCOMPARE(sim.run([](AProgrammer &e) { return e.information(); }),
                 QStringList{"begin: Gathering information about whole Flash..."} +
                     report.split('|'));
    }

    void update_data()
    {
        const QByteArray e1 = directoryEntry('1'), e2 = directoryEntry('2'),
                         e3 = directoryEntry('3'), e4 = directoryEntry('4'),
                         e5 = directoryEntry('5');
        QTest::addColumn<QList<QByteArray>>("flash");
        QTest::addColumn<QList<QByteArray>>("buffer");
        QTest::addColumn<QString>("title");
        QTest::newRow("changed and added chunks")
            << QList<QByteArray>{e1, e2, e3} << QList<QByteArray>{e1, e5, e3, e4}
            << "Auto-programming 67 Flash block(s): 0...2, 35...66, 99...130";
        QTest::newRow("blank flash") << QList<QByteArray>() << QList<QByteArray>{e1, e2}
                                     << "Auto-programming 67 Flash block(s): 0...66";
    }

    void update()
    {
        QFETCH(QList<QByteArray>, flash);
        QFETCH(QList<QByteArray>, buffer);
        QFETCH(QString, title);
        SimEngine sim;
        if (!flash.isEmpty()) {
            const QByteArray old = imageWithDirectory(flash);
            for (int block = 0; block * BlockSize < old.size(); ++block)
                writeChipBlock(sim.chip(), block, old.mid(block * BlockSize, BlockSize));
        }
        QVERIFY(loadImage(*sim.engine, imageWithDirectory(buffer)));
        const QStringList lines = sim.run([](AProgrammer &e) { return e.update(); });
        QCOMPARE(lines.filter("begin: "),
                 QStringList({"begin: Reading firmware version info...", "begin: " + title}));
        QCOMPARE(lines.last(), "finished: Complete");
        QCOMPARE(sim.run([](AProgrammer &e) { return e.verifyAuto(); }).last(),
                 "finished: Complete");
    }

    void setBadBlocks()
    {
        SimEngine sim("bad=5");
        QCOMPARE(sim.run([](AProgrammer &e) {
            return e.setBadBlocks({12, 5});
        }),
                 QStringList({"begin: Marking 2 Flash block(s) as bad: 5, 12",
                              "info: Block 12 marked as bad", "finished: Complete"}));
        QCOMPARE(sim.chip().badBlocks(), QList<int>({5, 12}));
    }

    // The cause of a failure is reported, not the failed switch-off of the lost device after it.
    void deviceLostMidPhase()
    {
        SimEngine sim;
        QObject scope;
        QObject::connect(
            sim.engine.get(), &AProgrammer::progress, &scope,
            [&](int value) {
                if (value == 1)
                    sim.set.driver().device(0).unplug();
            },
            Qt::DirectConnection);
        const QStringList lines = sim.run([](AProgrammer &e) { return e.read({0, 1}); });
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(1) != "error: Supported programmer device is not connected");
        QCOMPARE(lines.last(), "finished: Failed");
    }
};

QTEST_GUILESS_MAIN(tst_Executor)
#include "tst_executor.moc"
