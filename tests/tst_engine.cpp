// Request admission, the worker loop, abort, device polling and connection loss of the operation
// engine.
#include "engine/blockrange.h"
#include "protocol/commands.h"
#include "sim/nandchip.h"
#include "sim/simdevice.h"
#include "sim/simfirmware.h"
#include "support/enginefixture.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>

namespace {

bool invoke(AProgrammer &engine, const QByteArray &slot, const QList<int> &blocks)
{
    bool accepted = false;
    QMetaObject::invokeMethod(&engine, slot.constData(), Qt::DirectConnection,
                              Q_RETURN_ARG(bool, accepted), Q_ARG(QList<int>, blocks));
    return accepted;
}

} // namespace

class tst_Engine : public QObject
{
    Q_OBJECT

private:
    SharedEngine shared;

private slots:
    void initTestCase() { registerBlockRangeTypes(); }
    void init() { shared.releaseUnlessCurrent(); }

    void titlesWithoutProgrammer_data()
    {
        QTest::addColumn<QByteArray>("slot");
        QTest::addColumn<QList<int>>("blocks");
        QTest::addColumn<QString>("title");
        QTest::newRow("whole") << QByteArray("erase") << QList<int>() << "Erasing whole Flash...";
        QTest::newRow("duplicates")
            << QByteArray("read") << QList<int>{3, 3, 4} << "Reading 3 Flash block(s): 3...4";
        QTest::newRow("unsorted") << QByteArray("program") << QList<int>{5, 2, 7}
                                  << "Programming 3 Flash block(s): 2, 5, 7";
        QTest::newRow("outside dropped") << QByteArray("verify") << QList<int>{1024, 1, -1, 1026}
                                         << "Verifying 1 Flash block(s): 1";
        QTest::newRow("mark bad") << QByteArray("setBadBlocks") << QList<int>{9}
                                  << "Marking 1 Flash block(s) as bad: 9";
        QTest::newRow("nothing left") << QByteArray("check") << QList<int>{1024} << QString();
        QTest::newRow("mark all bad") << QByteArray("setBadBlocks") << QList<int>() << QString();
    }

    // No programmer is attached: each request is still picked up, and ends as not connected. The
    // rows share one engine, so every request after the first is made in state Failed, after an
    // abort that must leave that state as it is.
    void titlesWithoutProgrammer()
    {
        QFETCH(QByteArray, slot);
        QFETCH(QList<int>, blocks);
        QFETCH(QString, title);
        const QStringList lines = shared.get("programmers=0", false).run([&](AProgrammer &e) {
            e.abort();
            return invoke(e, slot, blocks);
        });
        if (title.isEmpty()) {
            QCOMPARE(lines, QStringList({"error: No Flash block to process", "refused"}));
            return;
        }
        QCOMPARE(lines, QStringList({"begin: " + title,
                                     "error: Supported programmer device is not connected",
                                     "finished: Failed"}));
    }

    void runOrderAndAbort_data()
    {
        QTest::addColumn<QByteArray>("slot");
        QTest::addColumn<QList<int>>("blocks");
        QTest::addColumn<int>("abortAfter");
        QTest::addColumn<QList<int>>("changed");
        QTest::newRow("program, stop after 2")
            << QByteArray("program") << QList<int>{5, 2, 7} << 2 << QList<int>{5, 7};
        QTest::newRow("program, stop after 1")
            << QByteArray("program") << QList<int>{5, 2, 7} << 1 << QList<int>{5};
        QTest::newRow("auto-program, stop after 2")
            << QByteArray("autoProgram") << QList<int>{5, 2, 7} << 2 << QList<int>{5, 7};
        QTest::newRow("program without 2")
            << QByteArray("program") << QList<int>{5, 7} << -1 << QList<int>{5, 7};
        QTest::newRow("erase, stop after 2")
            << QByteArray("erase") << QList<int>{5, 2, 7} << 2 << QList<int>{5, 2};
        QTest::newRow("whole erase, stop at once")
            << QByteArray("erase") << QList<int>() << 0 << QList<int>();
    }

    // Programming puts block 2 last, other kinds keep the order; an abort stops before the next
    // block, one made before the phase started before any device step, and the engine is ready.
    void runOrderAndAbort()
    {
        QFETCH(QByteArray, slot);
        QFETCH(QList<int>, blocks);
        QFETCH(int, abortAfter);
        QFETCH(QList<int>, changed);
        SimEngine &sim = shared.get();
        const bool erasing = slot == "erase";
        QByteArray image;
        for (int block = 0; block < 8; ++block)
            image += blockPattern(quint32(block));
        QVERIFY(loadImage(*sim.engine, image));
        for (const int block : {2, 5, 7}) {
            sim.chip().erase(block);
            if (erasing)
                writeChipBlock(sim.chip(), block, blockPattern(quint32(block)));
        }
        AProgrammer *engine = sim.engine.get();
        QObject rowScope;
        QObject::connect(
            engine, &AProgrammer::progress, &rowScope,
            [&](int value) {
                if (value == abortAfter)
                    engine->abort();
            },
            Qt::DirectConnection);

        const QStringList lines = sim.run([&](AProgrammer &e) { return invoke(e, slot, blocks); });
        QCOMPARE(lines.last(),
                 abortAfter < 0 ? "finished: Complete" : "finished: Operation aborted");
        QCOMPARE(sim.log->progress.last(), abortAfter < 0 ? int(blocks.size()) : abortAfter);
        QCOMPARE(engine->progressMaximum(), blocks.isEmpty() ? 1024 : int(blocks.size()));
        QVERIFY(engine->isReady());
        for (const int block : {2, 5, 7}) {
            const QByteArray expected =
                erasing ? QByteArray(131072, char(0xFF)) : image.mid(block * 131072, 131072);
            QCOMPARE(chipBlock(sim.chip(), block) == expected, changed.contains(block));
        }
    }

    void automaticRequests()
    {
        SimEngine sim;
        QCOMPARE(sim.run([](AProgrammer &e) { return e.programAuto(); }),
                 QStringList({"error: Invalid buffer content", "refused"}));
        QCOMPARE(sim.run([](AProgrammer &e) { return e.readAuto(); }),
                 QStringList({"begin: Reading firmware version info...",
                              "error: Invalid or empty flash content", "finished: Failed"}));
        // An abort noted after the directory's block: the phase completes, the read never begins.
        writeChipBlock(sim.chip(), 2,
                       imageWithDirectory({directoryEntry('a')}).mid(2 * 131072, 131072));
        QObject scope;
        QObject::connect(
            sim.engine.get(), &AProgrammer::progress, &scope,
            [&](int value) {
                if (value == 1)
                    sim.engine->abort();
            },
            Qt::DirectConnection);
        QCOMPARE(sim.run([](AProgrammer &e) { return e.readAuto(); }),
                 QStringList({"begin: Reading firmware version info...", "finished: Complete"}));
    }

    void firstOpenOnThirdTick()
    {
        SimEngine sim("1", false);
        for (const bool opened : {false, false, true}) {
            sendPollTick(*sim.engine);
            QCOMPARE(sim.engine->isReady(), opened);
        }
    }

    // Opening a programmer in place of the open one ends an accepted request, whether or not its
    // phase had started, as aborted; the programmer is never driven by both threads.
    void openEndsPendingRequest()
    {
        SimEngine sim;
        sim.set.firmware(0).injectAnswerFault(
            {SimFirmware::AnswerFault::Delay, 300, Npx4Protocol::CmdPowerOn});
        QVERIFY(sim.engine->read({1}));
        sim.engine->open(0);
        QVERIFY(sim.log->waitFinished());
        QTest::qWait(100);
        QCOMPARE(sim.log->lines.filter(QRegularExpression("^(finished|error): ")),
                 QStringList({"finished: Operation aborted"}));
    }

    // Destroying the engine while the first phase of a two-phase request runs: the follow-up
    // phase never begins, so nothing is read or written after destruction has started.
    void destructionStartsNoFollowUp_data()
    {
        QTest::addColumn<bool>("update");
        QTest::newRow("read") << false;
        QTest::newRow("update") << true;
    }

    void destructionStartsNoFollowUp()
    {
        QFETCH(bool, update);
        SimEngine sim;
        const QByteArray old = imageWithDirectory({directoryEntry('a')});
        for (int block = 0; block < 35; ++block)
            writeChipBlock(sim.chip(), block, old.mid(block * 131072, 131072));
        QVERIFY(loadImage(*sim.engine, imageWithDirectory({directoryEntry('b')}, 2)));
        // The directory's block arrives late: destruction starts while it is on its way.
        sim.set.firmware(0).injectAnswerFault(
            {SimFirmware::AnswerFault::Delay, 500, Npx4Protocol::CmdReadBlock});
        QSemaphore begun;
        QObject::connect(
            sim.engine.get(), &AProgrammer::operationBegin, sim.engine.get(),
            [&] { begun.release(); }, Qt::DirectConnection);
        QVERIFY(update ? sim.engine->update() : sim.engine->readAuto());
        begun.acquire();
        const int before = sim.set.firmware(0).commandCount();
        sim.engine.reset();
        // The directory's read, the power switched off: no block of a second phase.
        QVERIFY(sim.set.firmware(0).commandCount() - before < 8);
        QVERIFY(chipBlock(sim.chip(), 0) == old.left(131072));
    }

    // The window learns that the programmer is gone from deviceDisconnected(), once, whether the
    // channel's watch noticed the loss or a failed transfer closed the connection first; the
    // next poll opens a programmer that is still there again.
    void lossIsReportedOnce_data()
    {
        QTest::addColumn<bool>("unplug");
        QTest::newRow("failed transfer") << false;
        QTest::newRow("unplugged") << true;
    }
    void lossIsReportedOnce()
    {
        QFETCH(bool, unplug);
        SimEngine sim;
        QSignalSpy lost(sim.engine.get(), &AProgrammer::deviceDisconnected);
        QSignalSpy back(sim.engine.get(), &AProgrammer::deviceConnected);
        if (unplug) {
            sim.set.driver().device(0).unplug();
        } else {
            // The device stays on the bus but never answers: the exchange times out and the
            // connection is closed without the channel's watch seeing anything wrong.
            sim.set.firmware(0).injectAnswerFault(
                {SimFirmware::AnswerFault::NoAnswer, 0, Npx4Protocol::CmdReadBlock});
            QCOMPARE(sim.run([](AProgrammer &e) { return e.read({0}); }).last(),
                     "finished: Failed");
        }
        QTRY_COMPARE(lost.count(), 1);
        sendPollTick(*sim.engine);
        sendPollTick(*sim.engine);
        QTest::qWait(600); // the channel's watch looks again
        QCOMPARE(qMakePair(int(lost.count()), int(back.count())), qMakePair(1, unplug ? 0 : 1));
    }
};

QTEST_GUILESS_MAIN(tst_Engine)
#include "tst_engine.moc"
