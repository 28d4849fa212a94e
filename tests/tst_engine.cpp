// The operation engine: request admission, the worker loop, abort, polling and connection loss.
#include "protocol/commands.h"
#include "sim/nandchip.h"
#include "sim/simfirmware.h"
#include "support/enginefixture.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>

using Kind = AProgrammer::OperationKind;

namespace {

using Geometry::BlockCount;
using Geometry::BlockSize;

// Runs `action` in the thread that reports progress `value`, for as long as `scope` lives.
void atProgress(AProgrammer &engine, QObject &scope, int value, const std::function<void()> &action)
{
    QObject::connect(
        &engine, &AProgrammer::progress, &scope,
        [=](int reached) {
            if (reached == value)
                action();
        },
        Qt::DirectConnection);
}

} // namespace

class tst_Engine : public QObject
{
    Q_OBJECT

private:
    SharedEngine shared;

private slots:
    void init() { shared.releaseUnlessCurrent(); }

    // Without a programmer a request fails as not connected, and an abort leaves that state.
    void withoutProgrammer()
    {
        SimEngine sim("programmers=0", false);
        const QStringList refused{"error: No Flash block to process", "refused"};
        QCOMPARE(sim.run([](AProgrammer &e) { return e.check({BlockCount, -1}); }), refused);
        QCOMPARE(sim.run([](AProgrammer &e) { return e.setBadBlocks({}); }), refused);
        QCOMPARE(sim.run([](AProgrammer &e) { return e.programAuto(); }),
                 QStringList({"error: Invalid buffer content", "refused"}));
        for (int i = 0; i < 2; ++i) {
            sim.engine->abort();
            QCOMPARE(sim.run([](AProgrammer &e) { return e.erase(); }),
                     QStringList({"begin: Erasing whole Flash...",
                                  "error: Supported programmer device is not connected",
                                  "finished: Failed"}));
        }
    }

    void runOrderAndAbort_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QList<int>>("blocks");
        QTest::addColumn<int>("abortAt"); // the progress value
        QTest::addColumn<QList<int>>("changed");
        QTest::addColumn<QString>("title");
        const QList<int> three{5, 2, 7};
        QTest::newRow("program") << Kind::Program << three << 2 << QList<int>{5, 7}
                                 << "Programming 3 Flash block(s): 2, 5, 7";
        QTest::newRow("auto-program") << Kind::AutoProgram << three << 2 << QList<int>{5, 7}
                                      << "Auto-programming 3 Flash block(s): 2, 5, 7";
        QTest::newRow("erase") << Kind::Erase << three << 2 << QList<int>{5, 2}
                               << "Erasing 3 Flash block(s): 2, 5, 7";
        QTest::newRow("whole erase, at once")
            << Kind::Erase << QList<int>() << 0 << QList<int>() << "Erasing whole Flash...";
    }

    // Programming puts block 2 last; an abort stops before the next block, or before any step.
    void runOrderAndAbort()
    {
        QFETCH(Kind, kind);
        QFETCH(QList<int>, blocks);
        QFETCH(int, abortAt);
        QFETCH(QList<int>, changed);
        QFETCH(QString, title);
        SimEngine &sim = shared.get();
        const QByteArray image = imageWithDirectory({directoryEntry('a')});
        QVERIFY(loadImage(*sim.engine, image));
        const bool erasing = kind == Kind::Erase;
        for (const int block : {2, 5, 7}) {
            sim.chip().erase(block);
            if (erasing)
                writeChipBlock(sim.chip(), block, image.mid(block * BlockSize, BlockSize));
        }
        QObject rowScope;
        atProgress(*sim.engine, rowScope, abortAt, [&] { sim.engine->abort(); });
        const QStringList lines =
            sim.run([&](AProgrammer &e) { return e.request(kind, BlockScope::list(blocks)); });
        QCOMPARE(lines.first(), "begin: " + title);
        QCOMPARE(lines.last(), "finished: Operation aborted");
        QCOMPARE(sim.result().status, OperationResult::Aborted);
        QCOMPARE(sim.result().done, changed);
        QCOMPARE(sim.log->progress.last(), abortAt);
        QCOMPARE(sim.engine->progressMaximum(), blocks.isEmpty() ? BlockCount : int(blocks.size()));
        QVERIFY(sim.engine->isReady());
        for (const int block : {2, 5, 7}) {
            const QByteArray done = erasing ? QByteArray(BlockSize, char(0xFF))
                                            : image.mid(block * BlockSize, BlockSize);
            QCOMPARE(chipBlock(sim.chip(), block) == done, changed.contains(block));
        }
    }

    void automaticRequests()
    {
        SimEngine sim;
        const QString title = "begin: Reading firmware version info...";
        QCOMPARE(sim.run([](AProgrammer &e) { return e.readAuto(); }),
                 QStringList({title, "error: Invalid or empty flash content", "finished: Failed"}));
        // An abort noted after the directory's block: the phase completes, the read never begins.
        writeChipBlock(sim.chip(), 2,
                       imageWithDirectory({directoryEntry('a')}).mid(2 * BlockSize, BlockSize));
        QObject scope;
        atProgress(*sim.engine, scope, 1, [&] { sim.engine->abort(); });
        QCOMPARE(sim.run([](AProgrammer &e) { return e.readAuto(); }),
                 QStringList({title, "finished: Complete"}));
    }

    // The device poll opens a programmer from its third tick on. Firmware 1.3 knows no ECC.
    void firstOpenOnThirdTick()
    {
        SimEngine sim("firmware=1.3", false);
        for (const bool opened : {false, false, true}) {
            sendPollTick(*sim.engine);
            QCOMPARE(sim.engine->isReady(), opened);
        }
        QVERIFY(!sim.engine->isEccSupported());
    }

    // Opening a programmer or destroying the engine during an update's first phase ends the update.
    void endedFromTheWindow()
    {
        for (const bool destroy : {false, true}) {
            SimEngine sim;
            const QByteArray old = imageWithDirectory({directoryEntry('a')});
            for (int block = 0; block < 35; ++block)
                writeChipBlock(sim.chip(), block, old.mid(block * BlockSize, BlockSize));
            QVERIFY(loadImage(*sim.engine, imageWithDirectory({directoryEntry('b')}, 2)));
            sim.log->clear();
            sim.set.firmware(0).injectAnswerFault(
                {SimFirmware::AnswerFault::Delay, 500,
                 destroy ? Npx4Protocol::CmdReadBlock : Npx4Protocol::CmdPowerOn});
            QSemaphore begun;
            QObject::connect(
                sim.engine.get(), &AProgrammer::operationBegin, sim.engine.get(),
                [&] { begun.release(); }, Qt::DirectConnection);
            QVERIFY(sim.engine->update());
            if (destroy) {
                begun.acquire();
                const int before = sim.set.firmware(0).commandCount();
                sim.engine.reset();
                // The directory's read, the power switched off: no block of a second phase.
                QVERIFY(sim.set.firmware(0).commandCount() - before < 8);
            } else {
                sim.engine->open(0);
                QVERIFY(sim.log->waitFinished());
                QTest::qWait(100);
                QCOMPARE(sim.log->lines.filter(QRegularExpression("^(finished|error): ")),
                         QStringList({"finished: Operation aborted"}));
                QCOMPARE(sim.log->results.last().status, OperationResult::Aborted);
            }
            QVERIFY(chipBlock(sim.chip(), 0) == old.left(BlockSize));
        }
    }

    // The cause of a failure is reported, not the failed switch-off of the lost device after it.
    void lossDuringPhase()
    {
        SimEngine sim;
        QSignalSpy lost(sim.engine.get(), &AProgrammer::deviceDisconnected);
        sim.set.firmware(0).injectAnswerFault(
            {SimFirmware::AnswerFault::NoAnswer, 0, Npx4Protocol::CmdReadBlock});
        // The poll may open the programmer again meanwhile: its info lines are left out.
        const QStringList lines = sim.run([](AProgrammer &e) { return e.read({0}); })
                                      .filter(QRegularExpression("^(begin|error|finished): "));
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(1) != "error: Supported programmer device is not connected");
        QCOMPARE(lines.last(), "finished: Failed");
        QTRY_COMPARE(lost.count(), 1);
        sendPollTick(*sim.engine);
        sendPollTick(*sim.engine);
        QTest::qWait(600); // the channel's watch looks again
        QCOMPARE(lost.count(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_Engine)
#include "tst_engine.moc"
