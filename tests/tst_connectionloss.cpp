#include "protocol/commands.h"
#include "sim/simdevice.h"
#include "sim/simfirmware.h"
#include "support/enginefixture.h"

#include <QSignalSpy>
#include <QTest>

// The window learns that the programmer is gone from the engine's deviceDisconnected(), whether
// the channel's watch noticed the loss or a failed transfer closed the connection first.
class tst_ConnectionLoss : public QObject
{
    Q_OBJECT

private slots:
    void failedTransferReportsTheLossOnce()
    {
        SimEngine sim;
        QSignalSpy lost(sim.engine.get(), &AProgrammer::deviceDisconnected);
        QSignalSpy back(sim.engine.get(), &AProgrammer::deviceConnected);
        // The device stays on the bus but never answers: the exchange times out and the
        // connection is closed without the channel's watch seeing anything wrong.
        sim.set.firmware(0).injectAnswerFault(
            {SimFirmware::AnswerFault::NoAnswer, 0, Npx4Protocol::CmdReadBlock});
        const QStringList lines = sim.run([](AProgrammer &e) { return e.read({0}); });
        QCOMPARE(lines.last(), "finished: Failed");
        QTRY_COMPARE(lost.count(), 1);

        // The next poll opens the programmer again and says so; no second loss is reported.
        sendPollTick(*sim.engine);
        QTRY_COMPARE(back.count(), 1);
        sendPollTick(*sim.engine);
        QCOMPARE(lost.count(), 1);
    }

    void unplugReportsTheLossOnce()
    {
        SimEngine sim;
        QSignalSpy lost(sim.engine.get(), &AProgrammer::deviceDisconnected);
        sim.set.driver().device(0).unplug();
        QTRY_COMPARE(lost.count(), 1);
        sendPollTick(*sim.engine);
        sendPollTick(*sim.engine);
        QTest::qWait(600);
        QCOMPARE(lost.count(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_ConnectionLoss)
#include "tst_connectionloss.moc"
