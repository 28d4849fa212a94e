#include "protocol/commands.h"
#include "protocol/programmer.h"
#include "sim/simframe.h"
#include "support/logcapture.h"
#include "support/protocolrig.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace Npx4Protocol;
using Fault = SimFirmware::AnswerFault;

namespace {

const QString NotConnectedText = QStringLiteral("Supported programmer device is not connected");

QByteArray bytes(const char *hex)
{
    return QByteArray::fromHex(hex);
}

// Where the operations put what they hand back besides their result.
QByteArray id;
QList<int> blocks;
quint8 marks[2];

// An operation the tests name by its call, with the command it sends (hex; none if empty).
struct Operation
{
    int (*call)(Programmer &);
    const char *frame = nullptr;
};

const QMap<QString, Operation> operations = {
    {"getInfo", {[](Programmer &p) { return p.getInfo(nullptr); }}},
    {"power(true)", {[](Programmer &p) { return p.power(true); }}},
    {"setMode(0)", {[](Programmer &p) { return p.setMode(0); }, "a504000000"}},
    {"setBusyMode(true)",
     {[](Programmer &p) {
          p.setBusyMode(true);
          return 0;
      },
      "a504000002"}},
    {"setReadyMode(true)",
     {[](Programmer &p) {
          p.setReadyMode(true);
          return 0;
      },
      "a504000001"}},
    {"setPeriod(100, 0.3)", {[](Programmer &p) { return p.setPeriod(100, 0.3f); }, "a50401030a"}},
    {"setPeriod(5, 0.5)", {[](Programmer &p) { return p.setPeriod(5, 0.5f); }, "a504010102"}},
    {"setParameter(151)", {[](Programmer &p) { return p.setParameter(151); }, "a504020097"}},
    {"setUseEcc(true)", {[](Programmer &p) { return p.setUseEcc(true); }, "a504041a00"}},
    {"eraseBlock(0x12345, true)",
     {[](Programmer &p) { return p.eraseBlock(0x12345, true); }, "a506452380"}},
    // Nothing to erase: no frame, which would mean 65536 blocks.
    {"fastErase(0, true)", {[](Programmer &p) { return p.fastErase(0, true); }, ""}},
    {"fastErase(1, false)", {[](Programmer &p) { return p.fastErase(1, false); }, "a506000001"}},
    {"fastErase(1, true)", {[](Programmer &p) { return p.fastErase(1, true); }}},
    {"fastErase(5000, true)",
     {[](Programmer &p) { return p.fastErase(5000, true); }, "a506ff0381"}},
    {"fastErase(-1, false)",
     {[](Programmer &p) { return p.fastErase(unsigned(-1), false); }, "a506ff0301"}},
    {"markBad(-1)", {[](Programmer &p) { return p.markBad(-1); }, "a509ffff00"}},
    {"readBlockMarks(700)",
     {[](Programmer &p) { return p.readBlockMarks(700, marks); }, "a505bc0200"}},
    {"readBadBlockList", {[](Programmer &p) { return p.readBadBlockList(blocks); }, "a505000401"}},
    {"readId", {[](Programmer &p) { return p.readId(id); }}},
};

int run(Programmer &programmer, const QString &operation)
{
    return operations.value(operation).call(programmer);
}

} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT

private slots:

    void commandFrames_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QByteArray>("command");
        for (auto it = operations.cbegin(); it != operations.cend(); ++it) {
            if (it->frame)
                QTest::newRow(qPrintable(it.key())) << it.key() << bytes(it->frame);
        }
    }

    // Every command goes out as one frame: marker, code, parameters, CRC low byte first.
    void commandFrames()
    {
        QFETCH(QString, operation);
        QFETCH(QByteArray, command);
        AnsweringRig rig;
        QVERIFY2(rig.programmer.open(0), qPrintable(rig.programmer.errorString()));
        rig.end.takeWritten();
        QCOMPARE(run(rig.programmer, operation), int(Programmer::ResultOk));
        const auto *b = reinterpret_cast<const quint8 *>(command.constData());
        const QByteArray frame =
            command.isEmpty() ? QByteArray() : SimFrame::make(b[0], b[1], b[2], b[3], b[4]);
        QCOMPARE(rig.end.takeWritten().toHex(), frame.toHex());
    }

    void answerErrors_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("text");
        const int status = Fault::ErrorStatus;
        QTest::newRow("invalid operation") << status << 0x11 << 3 << "Invalid operation";
        QTest::newRow("operation error") << status << 0x40 << 4 << "Operation error";
        QTest::newRow("busy not activated")
            << status << 0x20 << 5 << "Busy signal is not activated";
        QTest::newRow("busy timeout")
            << status << 0x30 << 6 << "Busy signal is in active state more than 30 ms";
        QTest::newRow("status byte order")
            << status << 0x12345678 << 4 << "Operation error (code 0x12345678)";
        QTest::newRow("wrong crc")
            << int(Fault::CorruptCrc) << 0 << 2 << "Received data CRC check failed";
    }

    // A device that answers, even with an error or a damaged frame, stays connected and usable.
    void answerErrors()
    {
        QFETCH(int, kind);
        QFETCH(int, value);
        SimRig rig;
        QVERIFY(rig.programmer.open(0));
        rig.firmware().injectAnswerFault({Fault::Kind(kind), value, CmdPowerOn});
        QTEST(rig.programmer.power(true), "result");
        QTEST(rig.programmer.errorString(), "text");
        QVERIFY(rig.programmer.isConnected());
        QCOMPARE(rig.programmer.power(false), int(Programmer::ResultOk));
    }

    // Whatever an earlier exchange left unread (here a damaged answer with trailing bytes) is gone
    // before the next command, wherever the channel holds it.
    void leftoverBytesAreDropped()
    {
        AnsweringRig rig;
        rig.end.onCommand(commandBytes(CmdPowerOn), [](SimHostLink &link) {
            link.send(bytes("00000000000001") + QByteArray(40, '\x5a'));
        });
        QVERIFY(rig.programmer.open(0));
        QCOMPARE(rig.programmer.power(true), int(Programmer::ResultTransferFailed));
        QCOMPARE(rig.programmer.power(false), int(Programmer::ResultOk));
    }

    // Three bytes of seven, then silence: the wait ends once the answer time-out has passed since
    // the third byte, and the link is closed. The farewell mode command
    // is answered with a damaged frame, which must not hide the time-out from the user.
    void stalledAnswerTimesOutAndCloses()
    {
        SimRig rig;
        QVERIFY(rig.programmer.open(0));
        rig.firmware().injectAnswerFault({Fault::Truncate, 3, CmdPowerOn});
        rig.firmware().injectAnswerFault({Fault::CorruptCrc, 0, CmdConfigure});
        LogCapture log("npx4.protocol");
        // The silence is waited out in quarters of the time-out, serving events between them.
        int servings = 0;
        QTimer serve;
        connect(&serve, &QTimer::timeout, [&] { ++servings; });
        serve.start(0);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(rig.programmer.power(true), int(Programmer::ResultTransferFailed));
        QVERIFY2(timer.elapsed() >= 2000 && timer.elapsed() < 2700,
                 qPrintable(QString::number(timer.elapsed())));
        QVERIFY2(servings >= 2 && servings <= 4, qPrintable(QString::number(servings)));
        QCOMPARE(rig.programmer.errorString(), QStringLiteral("Receive timeout"));
        QVERIFY(log.contains(QStringLiteral("Receive timeout (remains 4 bytes)")));
        QVERIFY(!rig.programmer.isConnected());
        QCOMPARE(rig.firmware().mode(), int(ModeOff));
    }

    // The time-out limits silence, not the whole transfer: bytes 1900 ms apart keep it going.
    void slowStreamCompletes()
    {
        AnsweringRig rig;
        rig.end.onCommand(commandBytes(CmdReadId), [](SimHostLink &link) {
            link.send(SimFrame::make(0x00, 0x00, 0x02, 0x00, 0x00));
            link.sendAfter(1900, bytes("ec"));
            link.sendAfter(3800, bytes("f1"));
        });
        QVERIFY(rig.programmer.open(0));
        QByteArray id;
        QCOMPARE(rig.programmer.readId(id), int(Programmer::ResultOk));
        QCOMPARE(id, bytes("ecf1"));
    }

    // Once the information query has failed in transport, no frame goes out or is read until the
    // device has been replugged, and the marks asked for read as zero.
    void latchRefusesTraffic()
    {
        SimRig rig;
        QVERIFY(rig.programmer.open(0));
        rig.firmware().injectAnswerFault({Fault::CorruptCrc, 0, CmdGetInfo});
        QCOMPARE(rig.programmer.getInfo(nullptr), int(Programmer::ResultTransferFailed));
        QVERIFY(rig.programmer.isConnected());
        const int writes = rig.writes();
        marks[0] = marks[1] = 0xFF;
        QCOMPARE(rig.programmer.readBlockMarks(3, marks), int(Programmer::ResultTransferFailed));
        QCOMPARE(rig.programmer.errorString(), QStringLiteral("Device reconnection required!"));
        QCOMPARE(marks[0] | marks[1], 0);
        QCOMPARE(rig.writes(), writes);
    }

    void fastEraseWaitsInTries_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("result");
        QTest::newRow("answer after 3.2 s") << int(Fault::Delay) << 0;
        QTest::newRow("no answer") << int(Fault::NoAnswer) << 2;
    }

    // The long erase waits up to 5 s in short tries and keeps the connection whatever comes.
    void fastEraseWaitsInTries()
    {
        QFETCH(int, kind);
        QFETCH(int, result);
        SimRig rig;
        QVERIFY(rig.programmer.open(0));
        QCOMPARE(rig.programmer.power(true), int(Programmer::ResultOk));
        rig.firmware().injectAnswerFault({Fault::Kind(kind), 3200, CmdErase});
        LogCapture log("npx4.protocol");
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(rig.programmer.fastErase(1, false), result);
        QVERIFY(rig.programmer.isConnected());
        if (result != Programmer::ResultOk) {
            QCOMPARE(rig.programmer.errorString(), QStringLiteral("Receive timeout"));
            QVERIFY2(timer.elapsed() >= 5000 && timer.elapsed() < 6000,
                     qPrintable(QString::number(timer.elapsed())));
            // Tries of half a second each.
            const int tries = int(log.messages().count("Receive timeout (remains 7 bytes)"));
            QVERIFY2(tries >= 8 && tries <= 10, qPrintable(QString::number(tries)));
        }
        QCOMPARE(rig.programmer.power(false), int(Programmer::ResultOk));
    }

    // A programmer that leaves the bus during the long erase ends the wait at once, with the
    // failure that showed it.
    void fastEraseEndsWhenDeviceLeaves()
    {
        AnsweringRig rig;
        rig.end.onCommand(commandBytes(CmdErase, 0, 0, EraseSeveralBlocks),
                          [](SimHostLink &link) { link.leaveBus(-1); });
        QVERIFY(rig.programmer.open(0));
        QCOMPARE(rig.programmer.fastErase(1, false), int(Programmer::ResultTransferFailed));
        QVERIFY(!rig.programmer.isConnected());
        QVERIFY2(rig.programmer.errorString().startsWith("Receive data failed: ftd2xx: "),
                 qPrintable(rig.programmer.errorString()));
    }

    void badBlockList()
    {
        AnsweringRig rig;
        int lists = 0;
        // The second list's entries come after 1.5 s of silence: more than the list waits, and the
        // caller's list stays as it was.
        rig.end.onCommand(commandBytes(CmdBlockCheck, 0x00, 0x04, 0x01), [&](SimHostLink &link) {
            link.send(SimFrame::make(0x00, 0x00, 0x00, 0x00, 0x03));
            link.sendAfter(lists++ ? 1500 : 0, bytes("05001002ff03"));
        });
        QVERIFY(rig.programmer.open(0));
        blocks = {42};
        QCOMPARE(rig.programmer.readBadBlockList(blocks), int(Programmer::ResultOk));
        QCOMPARE(blocks, QList<int>({5, 528, 1023}));
        blocks = {42};
        QCOMPARE(rig.programmer.readBadBlockList(blocks), int(Programmer::ResultTransferFailed));
        QCOMPARE(rig.programmer.errorString(), QStringLiteral("Receive timeout"));
        QCOMPARE(blocks, QList<int>({42}));
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("result");
        QTest::addColumn<bool>("setsText");
        const auto row = [](const char *config, const char *operation, int result, bool text) {
            QTest::newRow(qPrintable(QString("%1 %2").arg(config, operation)))
                << QByteArray(config) << QString(operation) << result << text;
        };
        for (const char *operation :
             {"readId", "readBadBlockList", "fastErase(1, true)", "setPeriod(5, 0.5)"})
            row("firmware=1.0", operation, 9, false);
        row("firmware=1.1", "readId", 0, false);
        row("firmware=1.1", "readBadBlockList", 0, false);
        row("firmware=1.3", "setUseEcc(true)", 9, false);
        row("firmware=1.4", "setUseEcc(true)", 0, false);
        for (const char *operation :
             {"getInfo", "power(true)", "readBlockMarks(700)", "markBad(-1)"})
            row("programmers=0", operation, 1, true);
        for (const char *operation : {"setPeriod(5, 0.5)", "setUseEcc(true)", "readId"})
            row("programmers=0", operation, 1, false);
    }

    // Commands refused for an old firmware or a missing connection send nothing; only some of the
    // latter say why.
    void refusals()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, operation);
        QFETCH(int, result);
        QFETCH(bool, setsText);
        SimRig rig(config);
        if (rig.programmer.open(0))
            QCOMPARE(rig.programmer.power(true), int(Programmer::ResultOk));
        const int writes = rig.writes();
        const QString text = rig.programmer.errorString();
        QCOMPARE(run(rig.programmer, operation), result);
        if (result == Programmer::ResultOk)
            return;
        QCOMPARE(rig.writes(), writes);
        QCOMPARE(rig.programmer.errorString(), setsText ? NotConnectedText : text);
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
