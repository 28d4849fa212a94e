#include "protocol/commands.h"
#include "protocol/programmer.h"
#include "sim/simframe.h"
#include "support/logcapture.h"
#include "support/protocolrig.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace Npx4Protocol;
using Fault = SimFirmware::AnswerFault;
using Operation = std::function<Programmer::Result(Programmer &)>;
Q_DECLARE_METATYPE(Operation)

// A table row's operation: the Programmer call given, and its result.
#define CALL(call) Operation([](Programmer &p) { return p.call; })

namespace {

// Where the operations put what they hand back besides their result.
QByteArray id;
QList<int> blocks;
quint8 marks[2];

} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT

private slots:

    void commands_data()
    {
        QTest::addColumn<int>("version"); // of the firmware; 0: no programmer opened
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<int>("result");
        QTest::addColumn<QByteArray>("frame"); // hex, as is the answer
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("text");
        const auto row = [](const char *name, int version, const Operation &operation, int result,
                            const char *frame, const char *text = "",
                            const char *answer = "00000000000000") {
            QTest::newRow(name) << version << operation << result << QByteArray(frame)
                                << QByteArray(answer) << QString(text);
        };
        const Operation busy = [](Programmer &p) {
            p.setBusyMode(true);
            return Programmer::ResultOk;
        };
        row("busy mode", 0x105, busy, 0, "a50400000280e3");
        row("shortest period", 0x105, CALL(setPeriod(5, 0.5f)), 0, "a50401010281e7");
        row("ECC", 0x105, CALL(setUseEcc(true)), 0, "a504041a00baf3");
        row("erase block", 0x105, CALL(eraseBlock(0x12345, true)), 0, "a506452380ca1a");
        // Nothing to erase: no frame, which would mean 65536 blocks.
        row("fast erase of none", 0x105, CALL(fastErase(0, true)), 0, "");
        row("fast erase", 0x105, CALL(fastErase(5000, true)), 0, "a506ff03813335");
        row("block marks", 0x105, CALL(readBlockMarks(700, marks)), 0, "a505bc02008a58");
        row("chip ID, 1.1", 0x101, CALL(readId(id)), 0, "a50a0000009861");
        row("list, 1.1", 0x101, CALL(readBadBlockList(blocks)), 0, "a5050004019369");
        row("ECC, 1.4", 0x104, CALL(setUseEcc(true)), 0, "a504041a00baf3");
        // Commands an old firmware lacks, or that find no programmer, send nothing; only some of
        // the latter say why.
        row("chip ID, 1.0", 0x100, CALL(readId(id)), 9, "");
        row("list, 1.0", 0x100, CALL(readBadBlockList(blocks)), 9, "");
        row("fast erase, 1.0", 0x100, CALL(fastErase(1, true)), 9, "");
        row("period, 1.0", 0x100, CALL(setPeriod(5, 0.5f)), 9, "");
        row("ECC, 1.3", 0x103, CALL(setUseEcc(true)), 9, "");
        const char *closed = "Supported programmer device is not connected";
        row("information, closed", 0, CALL(getInfo(nullptr)), 1, "", closed);
        row("chip ID, closed", 0, CALL(readId(id)), 1, "");
        // Error answers, and a damaged one with bytes after it that the next command must not see.
        const Operation power = CALL(power(true));
        const char *powerOn = "a5020000005be4";
        row("invalid operation", 0x105, power, 3, powerOn, "Invalid operation", "aa11000000d901");
        row("status byte order", 0x105, power, 4, powerOn, "Operation error (code 0x12345678)",
            "aa7856341230bc");
        row("wrong crc", 0x105, power, 2, powerOn, "Received data CRC check failed",
            "000000000000015a5a5a5a5a5a5a5a");
    }

    // Every command goes out as one frame: marker, code, parameters, CRC low byte first. A device
    // that answers, even with an error or a damaged frame, stays connected and usable. Every
    // firmware here is older than the one the user is asked to install.
    void commands()
    {
        QFETCH(int, version);
        QFETCH(Operation, operation);
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, answer);
        QFETCH(int, result);
        QFETCH(QString, text);
        AnsweringRig rig(quint8(version >> 8), quint8(version));
        rig.end.onCommand(QByteArray::fromHex(frame).left(5),
                          [answer](SimHostLink &link) { link.send(QByteArray::fromHex(answer)); });
        QSignalSpy upgrades(&rig.programmer, &Programmer::fwUpgradeNeed);
        if (version)
            QVERIFY2(rig.programmer.open(0), qPrintable(rig.programmer.errorString()));
        QCOMPARE(upgrades.count(), int(version && version < 0x105));
        rig.end.takeWritten();
        const QString before = rig.programmer.errorString();
        QCOMPARE(operation(rig.programmer), result);
        QCOMPARE(rig.end.takeWritten().toHex(), frame);
        if (result != Programmer::ResultOk)
            QCOMPARE(rig.programmer.errorString(), text.isEmpty() ? before : text);
        if (version) // still connected and usable
            QCOMPARE(rig.programmer.setMode(0), Programmer::ResultOk);
    }

    // The long erase waits up to 5 s in tries of half a second and keeps the connection whatever
    // comes (here an answer after 3.2 s, then none). An ordinary answer that stalls after three
    // bytes of seven ends the wait once the time-out has passed since the third byte, waited out
    // in quarters that serve events between them, and closes the link; the farewell mode command
    // is answered with a damaged frame, which must not hide the time-out from the user.
    void answerWaits()
    {
        SimRig rig;
        QVERIFY(rig.programmer.open(0));
        QCOMPARE(rig.programmer.power(true), Programmer::ResultOk);
        rig.firmware().injectAnswerFault({Fault::Delay, 3200, CmdErase});
        QCOMPARE(rig.programmer.fastErase(1, false), Programmer::ResultOk);
        rig.firmware().injectAnswerFault({Fault::NoAnswer, 0, CmdErase});
        LogCapture log("npx4.protocol");
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(rig.programmer.fastErase(1, false), Programmer::ResultTransferFailed);
        QVERIFY2(timer.elapsed() >= 5000 && timer.elapsed() < 6000,
                 qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(rig.programmer.errorString(), QStringLiteral("Receive timeout"));
        const int tries = int(log.messages().count("Receive timeout (remains 7 bytes)"));
        QVERIFY2(tries >= 8 && tries <= 10, qPrintable(QString::number(tries)));
        QVERIFY(rig.programmer.isConnected());

        rig.firmware().injectAnswerFault({Fault::Truncate, 3, CmdPowerOff});
        rig.firmware().injectAnswerFault({Fault::CorruptCrc, 0, CmdConfigure});
        int servings = 0;
        QTimer serve;
        connect(&serve, &QTimer::timeout, [&] { ++servings; });
        serve.start(0);
        timer.start();
        QCOMPARE(rig.programmer.power(false), Programmer::ResultTransferFailed);
        QVERIFY2(timer.elapsed() >= 2000 && timer.elapsed() < 2700,
                 qPrintable(QString::number(timer.elapsed())));
        QVERIFY2(servings >= 2 && servings <= 4, qPrintable(QString::number(servings)));
        QCOMPARE(rig.programmer.errorString(), QStringLiteral("Receive timeout"));
        QVERIFY(!rig.programmer.isConnected());
        QCOMPARE(rig.firmware().mode(), int(ModeOff));
    }

    // Once the information query has failed in transport, no frame goes out until the device has
    // been replugged.
    void latchUntilReplugged()
    {
        SimRig rig;
        QVERIFY(rig.programmer.open(0));
        rig.firmware().injectAnswerFault({Fault::CorruptCrc, 0, CmdGetInfo});
        QCOMPARE(rig.programmer.getInfo(nullptr), Programmer::ResultTransferFailed);
        QVERIFY(rig.programmer.isConnected());
        const int writes = rig.writes();
        QCOMPARE(rig.programmer.readBlockMarks(3, marks), Programmer::ResultTransferFailed);
        QCOMPARE(rig.programmer.errorString(), QStringLiteral("Device reconnection required!"));
        QCOMPARE(rig.writes(), writes);
        rig.device().unplug();
        QTRY_VERIFY(!rig.programmer.isConnected());
        rig.device().plug();
        QVERIFY2(rig.programmer.open(0), qPrintable(rig.programmer.errorString()));
    }

    // The list's entries may come in pieces, but not after more than a second of silence; a
    // failed list leaves the caller's one as it was.
    void badBlockList()
    {
        AnsweringRig rig;
        int lists = 0;
        rig.end.onCommand(commandBytes(CmdBlockCheck, 0x00, 0x04, 0x01), [&](SimHostLink &link) {
            link.send(SimFrame::make(0x00, 0x00, 0x00, 0x00, 0x03));
            link.sendAfter(lists ? 1500 : 600, QByteArray::fromHex("0500"));
            link.sendAfter(lists++ ? 1500 : 1200, QByteArray::fromHex("1002ff03"));
        });
        QVERIFY(rig.programmer.open(0));
        QCOMPARE(rig.programmer.readBadBlockList(blocks), Programmer::ResultOk);
        QCOMPARE(blocks, QList<int>({5, 528, 1023}));
        blocks = {42};
        QCOMPARE(rig.programmer.readBadBlockList(blocks), Programmer::ResultTransferFailed);
        QCOMPARE(rig.programmer.errorString(), QStringLiteral("Receive timeout"));
        QCOMPARE(blocks, QList<int>({42}));
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
