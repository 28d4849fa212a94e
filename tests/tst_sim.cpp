#include "protocol/commands.h"
#include "sim/nandchip.h"
#include "sim/simconfig.h"
#include "sim/simdriver.h"
#include "sim/simfirmware.h"
#include "sim/simframe.h"
#include "sim/simprogrammerset.h"

#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <numeric>

using namespace Npx4Protocol;

namespace {

constexpr int BlockData = NandChip::PagesPerBlock * NandChip::PageSize;

// The host's side of the link as the firmware sees it: records everything the device sends.
struct RecordingLink : SimHostLink
{
    QByteArray sent;
    QList<QPair<int, QByteArray>> later;
    QList<int> leaves;

    void send(const char *data, qint64 size) override { sent.append(data, size); }
    void sendAfter(int delayMs, const QByteArray &bytes) override
    {
        later.append({delayMs, bytes});
    }
    void leaveBus(int) override { leaves.append(-1); }
    void leaveBusAfter(int, int) override { leaves.append(-1); }
    QByteArray take() { return std::exchange(sent, QByteArray()); }
};

// A chip, its firmware and a recording link, driven by raw bytes.
struct Device
{
    NandChip chip;
    SimFirmware firmware{&chip};
    RecordingLink link;

    void write(const QByteArray &bytes)
    {
        firmware.received(bytes.constData(), bytes.size(), link);
    }
    QByteArray command(quint8 code, quint8 p2 = 0, quint8 p3 = 0, quint8 p4 = 0)
    {
        write(SimFrame::make(CommandMarker, code, p2, p3, p4));
        return link.take();
    }
    QByteArray onBlock(quint8 code, int block) { return command(code, block & 0xFF, block >> 8); }
    void powerOn() { command(CmdPowerOn); }
    void setSpare(int size) { command(CmdConfigure, CfgEcc, quint8(size)); }
};

QByteArray errorAnswer(quint32 status)
{
    return SimFrame::make(ErrorAnswerMarker, quint8(status), quint8(status >> 8),
                          quint8(status >> 16), quint8(status >> 24));
}

bool isSuccess(const QByteArray &answer)
{
    return answer.size() >= FrameSize && quint8(answer[0]) != ErrorAnswerMarker &&
           SimFrame::isSealed(reinterpret_cast<const quint8 *>(answer.constData()));
}

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

int listedDevices(SimDriver &driver)
{
    quint32 count = 0;
    driver.createDeviceInfoList(&count);
    return int(count);
}

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private slots:
    void configAcceptsEveryKey()
    {
        // The defaults: a real programmer on a high-speed bridge.
        for (const QByteArray &text : {QByteArray(), QByteArray("1"), QByteArray("  ")}) {
            const SimConfig d = SimConfig::parse(text);
            QVERIFY2(d.isValid(), qPrintable(d.errorString()));
            QCOMPARE(QList<qint64>({d.programmers, d.packetSize(), d.linkRate(), d.pageReadUs,
                                    d.pageProgramUs, d.blockEraseUs}),
                     QList<qint64>({1, 512, 8000000, 25, 300, 2000}));
            QCOMPARE(d.chipId, QByteArray::fromHex("ECF1009540"));
        }
        const SimConfig c = SimConfig::parse(
            "programmers=3; firmware=1.12;bootloader=1;chip=adf1801d;bad=5, 700,0x3ff;"
            "erase-fail=0;flip=7:131071:7,0:0x10:0;storage=/tmp/chip.bin;rate=1000000;"
            "link=full;nand-timing=1:2:3;flip-rate=1.5e-6;seed=7;program-fail=3,4:63;wear=10");
        QVERIFY2(c.isValid(), qPrintable(c.errorString()));
        QCOMPARE(QList<qint64>({c.programmers, c.firmwareMajor, c.firmwareMinor, c.bootLoader,
                                c.linkRate(), c.packetSize(), c.pageReadUs, c.pageProgramUs,
                                c.blockEraseUs}),
                 QList<qint64>({3, 1, 12, 1, 1000000, 64, 1, 2, 3}));
        QCOMPARE(c.chipId, QByteArray::fromHex("ADF1801D"));
        QCOMPARE(c.badBlocks, QList<int>({5, 700, 1023}));
        QCOMPARE(c.eraseFail, QList<int>({0}));
        QCOMPARE(c.flips, QList<SimConfig::Flip>({{7, 131071, 7}, {0, 16, 0}}));
        QCOMPARE(c.storage, QString("/tmp/chip.bin"));
        QCOMPARE(c.flipRate, 1.5e-6);
        QCOMPARE(c.seed, 7u);
        QCOMPARE(c.programFails, QList<SimConfig::ProgramFail>({{3, -1}, {4, 63}}));
        QCOMPARE(c.wear, std::optional<int>(10));
        QCOMPARE(SimConfig::parse("link=instant").linkRate(), 0);
        QVERIFY(SimConfig::parse("chip=none").chipId.isEmpty());

        // Items of one programmer add to the list keys and replace the others; the storage
        // file is programmer 1's unless another names its own.
        const SimConfig gang = SimConfig::parse("programmers=3;bad=1;bad@2=9;chip@3=none;"
                                                "storage=/tmp/a;storage@3=/tmp/b;unplug@2=7");
        QVERIFY2(gang.isValid(), qPrintable(gang.errorString()));
        const SimConfig one = gang.forProgrammer(1);
        const SimConfig two = gang.forProgrammer(2);
        const SimConfig three = gang.forProgrammer(3);
        QCOMPARE(one.badBlocks + two.badBlocks, QList<int>({1, 1, 9}));
        QCOMPARE(QList<int>({one.unplugAtCommand, two.unplugAtCommand}), QList<int>({0, 7}));
        QVERIFY(two.chipId == one.chipId && three.chipId.isEmpty());
        QCOMPARE(QStringList({one.storage, two.storage, three.storage}),
                 QStringList({"/tmp/a", "", "/tmp/b"}));
    }

    void configRejects_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("named"); // what the message must quote
        QTest::newRow("unknown key") << QByteArray("programers=2") << "\"programers\"";
        QTest::newRow("no equals") << QByteArray("chip") << "\"chip\"";
        QTest::newRow("twice") << QByteArray("bad=1;bad=2") << "\"bad\"";
        QTest::newRow("empty value") << QByteArray("rate=") << "\"rate\"";
        QTest::newRow("programmers word") << QByteArray("programmers=two") << "\"two\"";
        QTest::newRow("firmware no dot") << QByteArray("firmware=15") << "\"15\"";
        QTest::newRow("chip odd hex") << QByteArray("chip=ECF10") << "\"ECF10\"";
        QTest::newRow("bad 1024") << QByteArray("bad=5,1024") << "\"1024\"";
        QTest::newRow("flip offset outside") << QByteArray("flip=1:131072:0") << "\"131072\"";
        QTest::newRow("link usb2") << QByteArray("link=usb2") << "\"usb2\"";
        QTest::newRow("timing two") << QByteArray("nand-timing=25:300") << "\"25:300\"";
        QTest::newRow("flip rate 2") << QByteArray("flip-rate=2") << "\"2\"";
        QTest::newRow("flip rate sign") << QByteArray("flip-rate=-1e-6") << "\"-1e-6\"";
        QTest::newRow("program-fail page 64") << QByteArray("program-fail=3:64") << "\"3:64\"";
        QTest::newRow("unplug 0") << QByteArray("unplug=0") << "\"0\"";
        QTest::newRow("programmer 0") << QByteArray("chip@0=none") << "\"chip@0\"";
        QTest::newRow("count per programmer")
            << QByteArray("programmers@1=2") << "\"programmers@1\"";
        QTest::newRow("bad value for one") << QByteArray("bad@2=1024;programmers=2") << "\"1024\"";
        QTest::newRow("beyond the count")
            << QByteArray("programmers=2;chip@3=none") << "\"chip@3\"";
    }

    void configRejects()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, named);
        const SimConfig config = SimConfig::parse(text);
        QVERIFY(!config.isValid());
        QVERIFY2(config.errorString().contains(named), qPrintable(config.errorString()));
        const QString key = QString::fromLatin1(text.left(text.indexOf('=')));
        QVERIFY2(config.errorString().contains(key), qPrintable(config.errorString()));
    }

    void frameHunting_data()
    {
        QTest::addColumn<QByteArray>("before");
        const QByteArray info = SimFrame::make(CommandMarker, CmdGetInfo, 0, 0, 0);
        QByteArray corrupted = info;
        corrupted[6] = char(corrupted[6] ^ 1);
        QTest::newRow("probe byte") << QByteArray(1, char(FwProbe));
        QTest::newRow("junk") << QByteArray::fromHex("00ff1234");
        QTest::newRow("stray marker") << QByteArray(1, char(CommandMarker));
        QTest::newRow("bad crc frame") << corrupted;
        QTest::newRow("cut frame") << info.left(4);
    }

    void frameHunting()
    {
        QFETCH(QByteArray, before);
        Device device;
        device.write(before);
        QVERIFY2(device.link.sent.isEmpty(), "a stray byte or a bad frame got an answer");
        // The real frame arrives one byte at a time; exactly one answer follows it.
        for (const char byte : SimFrame::make(CommandMarker, CmdPowerOn, 0, 0, 0))
            device.write(QByteArray(1, byte));
        QCOMPARE(device.link.sent.size(), FrameSize);
        QVERIFY(isSuccess(device.link.sent));
        QVERIFY(device.firmware.powered());
        QCOMPARE(SimFrame::crc16(reinterpret_cast<const quint8 *>("123456789"), 9),
                 quint16(0x31C3));
    }

    void statuses_data()
    {
        QTest::addColumn<QByteArray>("setup");   // off, no chip, or the firmware version
        QTest::addColumn<QByteArray>("command"); // code, P2, P3, P4
        QTest::addColumn<int>("status");         // -1: success
        const auto row = [](const char *name, const char *setup, const char *hex, int status) {
            QTest::newRow(name) << QByteArray(setup) << QByteArray::fromHex(hex) << status;
        };
        row("info while off", "off", "01000000", -1);
        row("read while off", "off", "08000000", 0x20);
        row("read without chip", "no chip", "08000000", 0x20);
        row("id without chip", "no chip", "0a000000", -1);
        row("block 1024", "", "06000400", 0x11);
        row("several 1025", "", "06000401", 0x11);
        row("erase bad block", "", "06050000", 0x40);
        row("unknown command", "", "0b000000", 0x11);
        row("unknown sub-function", "", "04030000", 0x11);
        row("ecc spare 13", "", "04040d00", 0x11);
        row("wrong entry code", "", "e0010203", 0x11);
        row("id on 1.0", "1.0", "0a000000", 0x11);
        row("ecc on 1.3", "1.3", "04041a00", 0x11);
        row("ecc on 1.4", "1.4", "04041a00", -1);
    }

    void statuses()
    {
        QFETCH(QByteArray, setup);
        QFETCH(QByteArray, command);
        QFETCH(int, status);
        Device device;
        device.chip.setFactoryBad({5});
        if (setup == "no chip")
            device.chip.remove();
        if (setup.startsWith("1."))
            device.firmware.setVersion(1, setup.mid(2).toInt());
        if (setup != "off")
            device.powerOn();
        const auto p = [&](int i) { return quint8(command[i]); };
        const QByteArray answer = device.command(p(0), p(1), p(2), p(3));
        if (status >= 0) {
            QCOMPARE(answer, errorAnswer(quint32(status)));
            return;
        }
        QVERIFY(isSuccess(answer));
        if (p(0) == CmdReadId) // an absent chip reads as five 0xFF
            QCOMPARE(answer.mid(FrameSize), QByteArray(5, char(0xFF)));
    }

    void dataPhaseLayout_data()
    {
        QTest::addColumn<int>("spareSize");
        QTest::addColumn<int>("piece"); // the host's write size
        QTest::newRow("ecc, pages of 2074")
            << EccSpareSize << 8 * (NandChip::PageSize + EccSpareSize);
        QTest::newRow("ecc, odd pieces") << EccSpareSize << 1000;
        QTest::newRow("no spare, odd pieces") << 0 << 777;
    }

    void dataPhaseLayout()
    {
        QFETCH(int, spareSize);
        QFETCH(int, piece);
        Device device;
        device.powerOn();
        device.setSpare(spareSize);
        const QByteArray data = randomBytes(BlockData, 7);
        const QByteArray spares = randomBytes(NandChip::PagesPerBlock * EccSpareSize, 8);
        QByteArray phase; // every page followed by its spare bytes
        for (int p = 0; p < NandChip::PagesPerBlock; ++p)
            phase += data.mid(p * NandChip::PageSize, NandChip::PageSize) +
                     spares.mid(p * spareSize, spareSize);
        QVERIFY(device.onBlock(CmdProgramBlock, 700).isEmpty());
        for (int at = 0; at < phase.size() - 1; at += piece)
            device.write(phase.mid(at, qMin(piece, int(phase.size()) - 1 - at)));
        QVERIFY2(device.link.sent.isEmpty(), "answered before the whole block arrived");
        device.write(phase.right(1));
        QVERIFY(isSuccess(device.link.take()));

        const QByteArray read = device.onBlock(CmdReadBlock, 700);
        QCOMPARE(read.size(), FrameSize + phase.size());
        QVERIFY(isSuccess(read));
        QVERIFY2(read.mid(FrameSize) == phase,
                 "read data or spare differ from what was programmed");
        char page[NandChip::PageSize];
        char spare[NandChip::SpareSize];
        device.chip.readPage(700, 63, page, spare);
        QVERIFY(QByteArray(page, NandChip::PageSize) == data.right(NandChip::PageSize));
        QCOMPARE(QByteArray(spare, spareSize), spares.right(spareSize));
    }

    // Worn-out blocks, failing pages and blocks, each as a real chip shows them.
    void chipFaults()
    {
        Device device;
        device.powerOn();
        device.chip.setWearLimit(2);
        QVERIFY(isSuccess(device.onBlock(CmdErase, 9)));
        QVERIFY(isSuccess(device.onBlock(CmdErase, 9)));
        QCOMPARE(device.onBlock(CmdErase, 9), errorAnswer(StatusOperationError));

        // A failed page is told after the whole data phase and keeps its cells; the others are
        // programmed.
        device.chip.addProgramFail(6, 3);
        const QByteArray zeros(BlockData, 0);
        for (const int block : {0, 3, 4, 6}) {
            device.onBlock(CmdProgramBlock, block);
            device.write(zeros);
        }
        QCOMPARE(device.link.take(), errorAnswer(StatusOperationError));
        QByteArray expected = zeros;
        expected.replace(3 * NandChip::PageSize, NandChip::PageSize,
                         QByteArray(NandChip::PageSize, char(0xFF)));
        QVERIFY(device.onBlock(CmdReadBlock, 6).mid(FrameSize) == expected);

        // Erasing blocks 0..3 skips bad block 1, tells that block 2 failed after erasing 3; a
        // bad block in the range is no failure.
        device.chip.setFactoryBad({1});
        device.chip.setEraseFail({2});
        QCOMPARE(device.command(CmdErase, 3, 0, EraseSeveralBlocks | EraseInPlaceFlag),
                 errorAnswer(StatusOperationError));
        const QByteArray erased(BlockData, char(0xFF));
        for (const auto &[block, data] : {std::pair(0, erased), {3, erased}, {4, zeros}})
            QVERIFY(device.onBlock(CmdReadBlock, block).mid(FrameSize) == data);
        QVERIFY(isSuccess(device.command(CmdErase, 1, 0, EraseSeveralBlocks)));
    }

    void badBlockList()
    {
        Device device;
        device.powerOn();
        device.chip.setFactoryBad({5, 528});
        QCOMPARE(device.onBlock(CmdMarkBad, 1023).size(), FrameSize);
        // A factory mark is a first spare byte other than 0xFF in page 0 or 1.
        const char mark = 0x3C;
        device.chip.programPage(40, 1, QByteArray(NandChip::PageSize, char(0xFF)).constData(),
                                &mark, 1);
        for (const auto &[block, marks] : {std::pair(528, "0000"), {6, "ffff"}, {40, "ff3c"}})
            QCOMPARE(device.onBlock(CmdBlockCheck, block).mid(3, 2).toHex(), QByteArray(marks));
        const QByteArray list = device.command(CmdBlockCheck, 0x00, 0x04, BlockListFlag);
        QVERIFY(isSuccess(list));
        QCOMPARE(quint8(list[4]), quint8(4));
        QCOMPARE(list.mid(FrameSize).toHex(), QByteArray("050028001002ff03"));

        // A list that the one-byte count cannot announce is an error, not a shortened list.
        QList<int> many(254); // 256 with blocks 528 and 1023
        std::iota(many.begin(), many.end(), 0);
        device.chip.setFactoryBad(many);
        QCOMPARE(device.command(CmdBlockCheck, 0x00, 0x04, BlockListFlag),
                 errorAnswer(StatusOperationError));
    }

    void answerFaults_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("sentNow"); // bytes sent at once (a read answer and its data)
        QTest::addColumn<int>("sentLater");
        const int whole = FrameSize + NandChip::PagesPerBlock * NandChip::PageSize;
        using F = SimFirmware::AnswerFault;
        QTest::newRow("no answer") << int(F::NoAnswer) << 0 << 0 << 0;
        QTest::newRow("delay") << int(F::Delay) << 50 << 0 << 1;
        QTest::newRow("truncate") << int(F::Truncate) << 3 << 3 << 0;
        QTest::newRow("corrupt crc") << int(F::CorruptCrc) << 0 << whole << 0;
        QTest::newRow("busy timeout") << int(F::ErrorStatus) << 0x30 << FrameSize << 0;
        QTest::newRow("truncate data") << int(F::TruncateData) << 5000 << FrameSize + 5000 << 0;
    }

    void answerFaults()
    {
        QFETCH(int, kind);
        QFETCH(int, value);
        QFETCH(int, sentNow);
        QFETCH(int, sentLater);
        Device device;
        device.powerOn();
        const QByteArray clean = device.onBlock(CmdReadBlock, 1);
        QVERIFY(isSuccess(clean));
        const SimFirmware::AnswerFault fault{SimFirmware::AnswerFault::Kind(kind), value,
                                             CmdReadBlock};
        device.firmware.injectAnswerFault(fault, 2);
        QVERIFY2(isSuccess(device.command(CmdGetInfo)), "a fault for another command was applied");
        for (int round = 0; round < 2; ++round) {
            device.link.later.clear();
            QByteArray now = device.onBlock(CmdReadBlock, 1);
            QCOMPARE(now.size(), sentNow);
            QCOMPARE(device.link.later.size(), sentLater);
            if (sentLater)
                QCOMPARE(device.link.later[0], qMakePair(value, clean));
            if (fault.kind == SimFirmware::AnswerFault::CorruptCrc)
                now[5] = char(now[5] ^ 0xFF);
            if (fault.kind == SimFirmware::AnswerFault::ErrorStatus)
                QCOMPARE(now, errorAnswer(quint32(value)));
            else
                QVERIFY(clean.startsWith(now));
        }
        QCOMPARE(device.onBlock(CmdReadBlock, 1), clean); // the count is used up
        QCOMPARE(device.firmware.commandCount(), 6);

        device.firmware.injectAnswerFault({SimFirmware::AnswerFault::SlowBytes, 4, 0});
        device.link.later.clear();
        QVERIFY(device.command(CmdGetInfo).isEmpty());
        QCOMPARE(device.link.later.size(), FrameSize);
        QCOMPARE(device.link.later.last().first, 4 * FrameSize);
    }

    // The boot loader answers only its probe (the running firmware ignores it), and after a failed
    // upload it still waits, also once back on the bus.
    void bootLoaderWaitsAfterFailedUpload()
    {
        Device device;
        device.firmware.setBootFault(SimFirmware::BootFault::WrongAck);
        QVERIFY(
            device.command(CmdFwUpgrade, FwEntryCode[0], FwEntryCode[1], FwEntryCode[2]).isEmpty());
        QVERIFY(device.command(CmdGetInfo).isEmpty());
        device.write(QByteArray(1, char(FwProbe)));
        QCOMPARE(device.link.take().left(5), QByteArray::fromHex("42534e5034"));
        const QByteArray image = randomBytes(FwImageSize, 3);
        device.write(image.left(FwImageSize - 1));
        QVERIFY(device.link.sent.isEmpty());
        device.write(image.right(1));
        QCOMPARE(device.link.take(), QByteArray(1, 0));
        QCOMPARE(device.firmware.uploadedImage(), image);
        QVERIFY(device.link.leaves.isEmpty());
        device.firmware.attached();
        QVERIFY(device.firmware.inBootLoader() && device.command(CmdGetInfo).isEmpty());
    }

    void programmerSetFollowsConfig()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("chip.bin");
        {
            SimProgrammerSet set(("programmers=2;firmware=1.3;chip=adf1;bad=4;flip-rate=0.01;"
                                  "storage=" +
                                  file)
                                     .toUtf8());
            QVERIFY2(set.isValid(), qPrintable(set.errorString()));
            QCOMPARE(listedDevices(set.driver()), 2);
            QByteArray reads(2 * NandChip::PageSize, 0);
            for (int i = 0; i < 2; ++i) {
                QCOMPARE(set.firmware(i).version(), quint16(0x0103));
                QCOMPARE(set.chip(i).id(), QByteArray::fromHex("adf1"));
                QVERIFY(set.chip(i).isBad(4));
                set.chip(i).readPage(0, 0, reads.data() + i * NandChip::PageSize, nullptr);
            }
            QVERIFY2(reads.left(NandChip::PageSize) != reads.mid(NandChip::PageSize),
                     "the chips share one sequence of random flips");
            set.chip(0).markBad(7);
            set.chip(1).markBad(8);
        }
        SimProgrammerSet again(("storage=" + file).toUtf8());
        QVERIFY2(again.chip(0).isBad(7) && !again.chip(0).isBad(8),
                 "the storage file does not hold exactly the first programmer's chip");
        QCOMPARE(again.chip(0).id(), QByteArray::fromHex("ECF1009540"));

        // One owner at a time: while one holds the chip in the file, another sees it opened.
        SimProgrammerSet other(("storage=" + file).toUtf8());
        FtHandle held = nullptr;
        FtHandle refusedHandle = nullptr;
        QCOMPARE(again.driver().open(0, &held), int(FtOk));
        FtDeviceListInfoNode node{};
        quint32 count = 1;
        other.driver().createDeviceInfoList(&count);
        other.driver().getDeviceInfoList(&node, &count);
        QVERIFY(node.flags & FtFlagOpened);
        QCOMPARE(other.driver().open(0, &refusedHandle), int(FtDeviceNotOpened));
        again.driver().close(held);
        QCOMPARE(other.driver().open(0, &held), int(FtOk));

        // A storage file of the wrong size is refused and left alone; no device is listed.
        QFile wrongSize(dir.filePath("short.bin"));
        QVERIFY(wrongSize.open(QIODevice::WriteOnly) && wrongSize.write("abc") == 3);
        wrongSize.close();
        SimProgrammerSet refused(("storage=" + wrongSize.fileName()).toUtf8());
        QVERIFY(refused.errorString().contains(wrongSize.fileName()));
        QCOMPARE(listedDevices(refused.driver()), 0);
        QCOMPARE(QFileInfo(wrongSize.fileName()).size(), 3);
    }

    void processDriverListsNothingOnConfigError()
    {
        // The process's simulated driver is built once, at its first use, which is this one.
        qputenv("NPX4_SIMULATOR", "programmers=2;programers=3");
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("unknown key \"programers\""));
        QCOMPARE(listedDevices(static_cast<SimDriver &>(simulatedFtdiDriver())), 0);
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
