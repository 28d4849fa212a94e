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
                         "info: Found 2 bad block(s): 3, 700|info: Organisation: 1 Gbit, 3.3 V, "
                         "x8, 2048 + 64-byte pages, 128 KiB blocks|info: 2 bad block(s), within "
                         "the limit of 20|finished: Complete"
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
        QCOMPARE(sim.result().badBlocks, sim.engine->badBlockList());
        QVERIFY(!sim.result().badBlocks.isEmpty());
        QCOMPARE(sim.result().succeeded(), lines.last() == "finished: Complete");
    }

    // A block whose last page is uncorrectable still fills the buffer with the pages that arrived.
    void failedReadKeepsWhatArrived()
    {
        SimEngine sim("flip=1:131071:0,1:131071:1");
        QVERIFY(loadImage(*sim.engine, blockPattern(0) + blockPattern(1)));
        QCOMPARE(sim.run([](AProgrammer &e) {
                        return e.request(Kind::Program, BlockScope::list({1}),
                                         AProgrammer::NoReadBack);
                    })
                     .last(),
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
        // The other blocks are erased, but a block that kept its data fails the request.
        QTest::newRow("whole erase, block by block") << QByteArray("erase-fail=9") << Kind::Erase
                                                     << QList<int>() << 0 << failed << "3:- 700:-";
        QTest::newRow("listed erase stops at a failure")
            << QByteArray("erase-fail=9") << Kind::Erase << QList<int>{3, 9, 700} << 0 << failed
            << "3:- 700:=";
        // The directory's block 2 is erased first: it moves before any block above it is written.
        QTest::newRow("erase fails twice: remapped")
            << QByteArray("erase-fail=2") << Kind::AutoProgram << QList<int>{1, 2, 3} << 0
            << complete << "1:1 3:2 4:3";
        // A worn block that fails to program is replaced like one that fails to erase.
        QTest::newRow("program fails: remapped")
            << QByteArray("program-fail=1:5") << Kind::AutoProgram << QList<int>{1, 2, 3} << 0
            << complete << "2:1 3:2 4:3";
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
        if (config == "erase-fail=9")
            QVERIFY(sim.result().error.contains(kind == Kind::Erase && blocks.isEmpty()
                                                    ? "failed to erase and keep their data: 9"
                                                    : "Erasing Flash block 9 failed"));
        // The whole chip is erased at once unless a block fails to erase.
        if (kind == Kind::Erase && blocks.isEmpty())
            QCOMPARE(sim.set.firmware(0).commandCount() - before < 20, config == "1");
        const bool marking = kind == Kind::AutoProgram && config.contains("-fail=");
        const int marked = marking ? QString(config).section('=', 1).section(':', 0, 0).toInt() : 2;
        QCOMPARE(lines.count(QStringLiteral("info: Block %1 marked as bad").arg(marked)),
                 marking ? 1 : 0);
        QCOMPARE(sim.result().newlyBad, marking ? QList<int>{marked} : QList<int>());
        QCOMPARE(sim.chip().isBad(marked), marking);
        for (const QString &item : chip.split(' ')) {
            const int block = item.section(':', 0, 0).toInt();
            const QString held = item.section(':', 1);
            const QByteArray expected = held == "-"   ? Erased
                                        : held == "=" ? blockPattern(quint32(1000 + block))
                                                      : blockPattern(held.toUInt());
            QVERIFY2(chipBlock(sim.chip(), block) == expected, qPrintable(item));
        }
    }

    // What the ID says decides before anything is touched: another geometry refuses writes and
    // warns on reads, a 1.8 V part warns, a chip over its bad-block limit is not written.
    void chipChecks_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<int>("limit"); // -1: the datasheet's
        QTest::addColumn<bool>("force");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message"); // of the error, or of the one warning
        const QString geometry("Unknown Samsung flash device is 2 Gbit with 2048-byte pages; the "
                               "programmer handles 1 Gbit x8 chips only, and writing would place "
                               "data wrongly");
        const auto row = [](const char *tag, const char *config, Kind kind, int limit, bool force,
                            OperationResult::Status status, const QString &message) {
            QTest::newRow(tag) << QByteArray(config) << kind << limit << force << int(status)
                               << message;
        };
        row("2 Gbit: auto-write refused", "chip=ECDA109544", Kind::AutoProgram, -1, false,
            OperationResult::WrongGeometry, geometry);
        row("x16: erase refused", "chip=ADC1805D00", Kind::Erase, -1, false,
            OperationResult::WrongGeometry,
            "Hynix HY27UF161G2A is 1 Gbit x16 with 2048-byte pages; the programmer handles 1 "
            "Gbit x8 chips only, and writing would place data wrongly");
        row("2 Gbit: read warns", "chip=ECDA109544", Kind::Read, -1, false,
            OperationResult::Complete, "Warning: " + geometry);
        row("2 Gbit: forced", "chip=ECDA109544", Kind::AutoProgram, -1, true,
            OperationResult::Complete, "Warning: " + geometry);
        row("1.8 V warns", "chip=2CA1801502", Kind::AutoProgram, -1, false,
            OperationResult::Complete,
            "Warning: Micron MT29F1G08ABBDA is a 1.8 V part: make sure the socket supplies that "
            "voltage");
        row("over the datasheet's limit",
            "bad=100,101,102,103,104,105,106,107,108,109,110,111,112,113,114,115,116,117,118,119,"
            "120",
            Kind::AutoProgram, -1, false, OperationResult::TooManyBadBlocks,
            "The chip has 21 bad blocks, more than the limit of 20: it is not written");
        row("over a limit set", "bad=5,700", Kind::Program, 1, false,
            OperationResult::TooManyBadBlocks,
            "The chip has 2 bad blocks, more than the limit of 1: it is not written");
        row("at a limit set", "bad=5,700", Kind::AutoProgram, 2, false, OperationResult::Complete,
            "");
    }

    void chipChecks()
    {
        QFETCH(Kind, kind);
        QFETCH(int, limit);
        QFETCH(bool, force);
        QFETCH(QString, message);
        QFETCH(int, status);
        QFETCH(QByteArray, config);
        SimEngine sim(config);
        QVERIFY(loadImage(*sim.engine, blockPattern(1) + blockPattern(2)));
        writeChipBlock(sim.chip(), 1, blockPattern(7));
        sim.engine->setBadBlockLimit(limit);
        sim.engine->setForceGeometry(force);
        const QStringList lines = sim.run([&](AProgrammer &e) {
            return e.request(kind, BlockScope::list({0, 1}));
        });
        const OperationResult &result = sim.result();
        QCOMPARE(int(result.status), status);
        const bool refused = !result.succeeded();
        QCOMPARE(refused ? result.error : result.warnings.value(0), message);
        QCOMPARE(lines.count(message.isEmpty() ? "-" : (refused ? "error: " : "info: ") + message),
                 message.isEmpty() ? 0 : 1);
        QVERIFY((chipBlock(sim.chip(), 1) == blockPattern(7)) == (refused || kind == Kind::Read));
    }

    // Every block the chip was told to fail, and no other, fails the surface test; the rest end
    // erased, or as they were when kept. Bad blocks are not tested.
    void surfaceTest_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<int>("options");
        QTest::addColumn<bool>("ecc");
        QTest::addColumn<QString>("faults"); // block:kind[:cleared:set]
        const int keep = AProgrammer::KeepData, mark = AProgrammer::MarkFailed;
        QTest::newRow("faults") << QByteArray("bad=7;erase-fail=3;program-fail=5:10;flip=9:100:3")
                                << mark << false << "3:0 5:1 9:3:0:1";
        QTest::newRow("ECC corrects a flip; kept")
            << QByteArray("flip=9:100:3") << keep << true << "";
        QTest::newRow("noisy reads are no failures")
            << QByteArray("flip-rate=2e-7") << 0 << false << "";
        // Every block fails its third erase, the one that leaves it erased.
        QTest::newRow("worn") << QByteArray("wear=2;bad=7") << 0 << true
                              << "0:0 1:0 2:0 3:0 4:0 5:0 6:0 8:0 9:0 10:0 11:0";
    }

    void surfaceTest()
    {
        QFETCH(QByteArray, config);
        QFETCH(int, options);
        QFETCH(bool, ecc);
        QFETCH(QString, faults);
        SimEngine sim(config);
        sim.engine->setEcc(ecc);
        for (int block = 0; block < 12; ++block)
            writeChipBlock(sim.chip(), block, blockPattern(quint32(block)));
        QList<int> blocks;
        for (int block = 0; block < 12; ++block)
            blocks.append(block);
        sim.run([&](AProgrammer &e) {
            return e.request(Kind::SurfaceTest, BlockScope::list(blocks),
                             AProgrammer::RequestOptions(options));
        });
        const OperationResult &result = sim.result();
        QVERIFY(result.succeeded());
        QStringList found;
        for (const OperationResult::BlockFault &fault : result.faults) {
            found.append(QStringLiteral("%1:%2").arg(fault.block).arg(int(fault.kind)));
            if (fault.kind == OperationResult::BlockFault::Compare)
                found.last() += QStringLiteral(":%1:%2").arg(fault.bitsCleared).arg(fault.bitsSet);
        }
        QCOMPARE(found.join(' '), faults);
        QCOMPARE(result.unread, config.contains("bad=7") ? QList<int>{7} : QList<int>());
        const bool marking = options & AProgrammer::MarkFailed;
        QCOMPARE(result.newlyBad.size(), marking ? result.faults.size() : 0);
        // Reading the chip here would show random flips too.
        for (int block = 0; block < 12 && !config.contains("flip-rate"); ++block) {
            if (result.unread.contains(block) || faults.contains(QString::number(block) + ':'))
                continue;
            const QByteArray expected =
                (options & AProgrammer::KeepData) ? blockPattern(quint32(block)) : Erased;
            QVERIFY2(chipBlock(sim.chip(), block) == expected, qPrintable(QString::number(block)));
        }
    }

    // A verify goes on past a difference and keeps every differing block; without ECC a
    // tolerance counts a few flipped bits per page instead.
    void verifyFindings()
    {
        SimEngine sim;
        QByteArray image;
        for (int block = 0; block < 5; ++block) {
            image += blockPattern(quint32(block));
            writeChipBlock(sim.chip(), block, blockPattern(quint32(block)));
        }
        image[BlockSize + 100] = char(image[BlockSize + 100] ^ 0x01);
        image[3 * BlockSize + 7] = char(~image[3 * BlockSize + 7]);
        QVERIFY(loadImage(*sim.engine, image));
        const QList<int> blocks{0, 1, 2, 3, 4};
        const auto verify = [&] {
            sim.run(
                [&](AProgrammer &e) { return e.request(Kind::Verify, BlockScope::list(blocks)); });
            return sim.result();
        };
        OperationResult result = verify();
        QCOMPARE(result.status, OperationResult::Failed);
        QCOMPARE(result.done, blocks);
        QCOMPARE(result.differences.size(), 2);
        const OperationResult::Difference &first = result.differences.at(0);
        QCOMPARE(QList<qint64>({first.block, first.physical, first.offset, first.imageOffset,
                                first.bytes, first.bitsCleared + first.bitsSet}),
                 QList<qint64>({1, 1, 100, BlockSize + 100, 1, 1}));
        const OperationResult::Difference &second = result.differences.at(1);
        QCOMPARE(second.bitsCleared + second.bitsSet, 8);
        QVERIFY(result.error.startsWith("Verify failed for block 1 at 0x00064"));
        QCOMPARE(sim.log->lines.count("info: 2 of 5 block(s) differ"), 1);

        sim.engine->setEcc(false);
        sim.engine->setBitflipTolerance(1);
        result = verify();
        QCOMPARE(result.toleratedBits, 1);
        QCOMPARE(result.differences.size(), 1);
        QCOMPARE(result.differences.at(0).block, 3);
    }

    // Repeated reads keep the majority of every byte: random flips leave the data as written,
    // and two reads that disagree have no majority.
    void repeatedReads()
    {
        SimEngine sim("flip-rate=2e-6");
        sim.engine->setEcc(false);
        QList<int> blocks;
        QByteArray written;
        for (int block = 0; block < 8; ++block) {
            blocks.append(block);
            written += blockPattern(quint32(block));
            writeChipBlock(sim.chip(), block, blockPattern(quint32(block)));
        }
        sim.engine->setReadRepeat(3);
        sim.run([&](AProgrammer &e) { return e.request(Kind::Read, BlockScope::list(blocks)); });
        QVERIFY(sim.result().succeeded());
        QVERIFY(!sim.result().unstable.isEmpty());
        QVERIFY(bufferImage(*sim.engine).left(written.size()) == written);
        sim.engine->setReadRepeat(2);
        sim.run([&](AProgrammer &e) { return e.request(Kind::Read, BlockScope::list(blocks)); });
        QCOMPARE(sim.result().status, OperationResult::Failed);
        QVERIFY(!sim.result().unstable.last().decided);
    }

    // A write reads back what it wrote; blocks of all 0xFF stay erased unless asked otherwise.
    void writesCheckThemselves()
    {
        SimEngine sim;
        const auto spareOf = [&](int block) {
            QByteArray spare(64, 0);
            QByteArray data(2048, 0);
            sim.chip().readPage(block, 0, data.data(), spare.data());
            return spare;
        };
        QVERIFY(loadImage(*sim.engine, blockPattern(0) + Erased + blockPattern(2)));
        writeChipBlock(sim.chip(), 2, blockPattern(9));
        const auto program = [&](AProgrammer::RequestOptions options) {
            sim.run([&](AProgrammer &e) {
                return e.request(Kind::Program, BlockScope::list({0, 1, 2}), options);
            });
            return sim.result();
        };
        OperationResult result = program(AProgrammer::NoOption);
        QCOMPARE(result.status, OperationResult::Failed);
        // The block was not erased: its old ECC codes spoil the new ones.
        QVERIFY2(result.error.contains("block 2, page 0"), qPrintable(result.error));
        QCOMPARE(result.blankSkipped, QList<int>{1});
        QCOMPARE(spareOf(1), QByteArray(64, char(0xFF)));
        QVERIFY(program(AProgrammer::NoReadBack).succeeded());
        sim.chip().erase(1);
        result = program(AProgrammer::ProgramBlank | AProgrammer::NoReadBack);
        QVERIFY(result.blankSkipped.isEmpty());
        QVERIFY(spareOf(1) != QByteArray(64, char(0xFF)));
    }

    // An update names what it left alone; comparing, it also finds a block changed without a
    // new directory entry.
    void updateCompares()
    {
        SimEngine sim;
        const QByteArray older = imageWithDirectory({directoryEntry('1'), directoryEntry('2')});
        QVERIFY(loadImage(*sim.engine, older));
        QVERIFY(sim.run([](AProgrammer &e) { return e.autoProgramAuto(); }).last() ==
                "finished: Complete");
        QByteArray patched = older;
        patched[52 * BlockSize + 9] = char(~patched[52 * BlockSize + 9]);
        QVERIFY(loadImage(*sim.engine, patched));
        const QStringList lines = sim.run([](AProgrammer &e) { return e.update(); });
        QVERIFY(lines.contains(
            "info: Left alone, their directory entries being equal (not compared): 3...66"));
        QVERIFY(chipBlock(sim.chip(), 52) == older.mid(52 * BlockSize, BlockSize));
        sim.run([](AProgrammer &e) {
            return e.request(Kind::Update, BlockScope::imageExtent(), AProgrammer::CompareData);
        });
        QVERIFY(sim.result().succeeded());
        QVERIFY(chipBlock(sim.chip(), 52) == patched.mid(52 * BlockSize, BlockSize));
        QVERIFY(!sim.result().unchanged.contains(52));
        QCOMPARE(sim.result().unchanged.size(), 67 - 2);
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
