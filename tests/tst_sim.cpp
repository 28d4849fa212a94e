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
    void leaveBus(int returnAfterMs) override { leaves.append(returnAfterMs); }
    void leaveBusAfter(int delayMs, int returnAfterMs) override
    {
        leaves.append(delayMs + returnAfterMs);
    }
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

// The program-block data phase: every page followed by `spareSize` bytes of `spares`.
QByteArray interleave(const QByteArray &data, const QByteArray &spares, int spareSize)
{
    QByteArray phase;
    for (int p = 0; p < NandChip::PagesPerBlock; ++p) {
        phase += data.mid(p * NandChip::PageSize, NandChip::PageSize);
        phase += spares.mid(p * spareSize, spareSize);
    }
    return phase;
}

int listedDevices(SimDriver &driver)
{
    quint32 count = 0;
    driver.createDeviceInfoList(&count);
    return int(count);
}

// Reads `size` bytes from `handle` once they are queued; nothing after 2 s without them.
QByteArray readFrom(SimDriver &driver, FtHandle handle, int size)
{
    quint32 queued = 0;
    if (!QTest::qWaitFor(
            [&] { return driver.getQueueStatus(handle, &queued) == FtOk && int(queued) >= size; },
            2000))
        return {};
    QByteArray bytes(size, 0);
    driver.read(handle, bytes.data(), quint32(size), &queued);
    return bytes.left(int(queued));
}

void writeTo(SimDriver &driver, FtHandle handle, const QByteArray &bytes)
{
    quint32 written = 0;
    driver.write(handle, bytes.constData(), quint32(bytes.size()), &written);
}

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private slots:
    void configAcceptsEveryKey()
    {
        for (const QByteArray &text : {QByteArray(), QByteArray("1"), QByteArray("  ")}) {
            const SimConfig defaults = SimConfig::parse(text);
            QVERIFY2(defaults.isValid(), qPrintable(defaults.errorString()));
            QCOMPARE(defaults.programmers, 1);
            QCOMPARE(defaults.chipId, QByteArray::fromHex("ECF1009540"));
            // A real programmer on a high-speed bridge.
            QCOMPARE(defaults.packetSize(), 512);
            QCOMPARE(defaults.linkRate(), 8000000);
            QCOMPARE(defaults.pageReadUs, 25);
            QCOMPARE(defaults.pageProgramUs, 300);
            QCOMPARE(defaults.blockEraseUs, 2000);
        }
        const SimConfig c = SimConfig::parse(
            "programmers=3; firmware=1.12;bootloader=1;chip=adf1801d;bad=5, 700,0x3ff;"
            "erase-fail=0;flip=7:131071:7,0:0x10:0;storage=/tmp/chip.bin;rate=1000000;"
            "link=full;nand-timing=1:2:3;flip-rate=1.5e-6;seed=7;program-fail=3,4:63;wear=10");
        QVERIFY2(c.isValid(), qPrintable(c.errorString()));
        QCOMPARE(c.programmers, 3);
        QCOMPARE(c.firmwareMajor, 1);
        QCOMPARE(c.firmwareMinor, 12);
        QVERIFY(c.bootLoader);
        QCOMPARE(c.chipId, QByteArray::fromHex("ADF1801D"));
        QCOMPARE(c.badBlocks, QList<int>({5, 700, 1023}));
        QCOMPARE(c.eraseFail, QList<int>({0}));
        QCOMPARE(c.flips, QList<SimConfig::Flip>({{7, 131071, 7}, {0, 16, 0}}));
        QCOMPARE(c.storage, QString("/tmp/chip.bin"));
        QCOMPARE(c.linkRate(), 1000000);
        QCOMPARE(c.packetSize(), 64);
        QCOMPARE(QList<int>({c.pageReadUs, c.pageProgramUs, c.blockEraseUs}),
                 QList<int>({1, 2, 3}));
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
        const SimConfig first = gang.forProgrammer(1);
        const SimConfig second = gang.forProgrammer(2);
        const SimConfig third = gang.forProgrammer(3);
        QCOMPARE(first.badBlocks, QList<int>({1}));
        QCOMPARE(second.badBlocks, QList<int>({1, 9}));
        QCOMPARE(first.unplugAtCommand, 0);
        QCOMPARE(second.unplugAtCommand, 7);
        QCOMPARE(second.chipId, first.chipId);
        QVERIFY(third.chipId.isEmpty());
        QCOMPARE(first.storage, QString("/tmp/a"));
        QVERIFY(second.storage.isEmpty());
        QCOMPARE(third.storage, QString("/tmp/b"));
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
        QTest::newRow("firmware minor 256") << QByteArray("firmware=1.256") << "\"1.256\"";
        QTest::newRow("bootloader 2") << QByteArray("bootloader=2") << "\"2\"";
        QTest::newRow("chip odd hex") << QByteArray("chip=ECF10") << "\"ECF10\"";
        QTest::newRow("bad 1024") << QByteArray("bad=5,1024") << "\"1024\"";
        QTest::newRow("bad empty entry") << QByteArray("bad=1,,2") << "\"\"";
        QTest::newRow("flip bit 8") << QByteArray("flip=1:2:8") << "\"8\"";
        QTest::newRow("flip offset outside") << QByteArray("flip=1:131072:0") << "\"131072\"";
        QTest::newRow("link usb2") << QByteArray("link=usb2") << "\"usb2\"";
        QTest::newRow("timing two") << QByteArray("nand-timing=25:300") << "\"25:300\"";
        QTest::newRow("flip rate 2") << QByteArray("flip-rate=2") << "\"2\"";
        QTest::newRow("flip rate sign") << QByteArray("flip-rate=-1e-6") << "\"-1e-6\"";
        QTest::newRow("flip rate word") << QByteArray("flip-rate=nan") << "\"nan\"";
        QTest::newRow("program-fail page 64") << QByteArray("program-fail=3:64") << "\"3:64\"";
        QTest::newRow("wear word") << QByteArray("wear=many") << "\"many\"";
        QTest::newRow("unplug 0") << QByteArray("unplug=0") << "\"0\"";
        QTest::newRow("programmer 0") << QByteArray("chip@0=none") << "\"chip@0\"";
        QTest::newRow("programmer word") << QByteArray("chip@two=none") << "\"chip@two\"";
        QTest::newRow("count per programmer")
            << QByteArray("programmers@1=2") << "\"programmers@1\"";
        QTest::newRow("twice for one") << QByteArray("bad@2=1;bad@2=3") << "\"bad@2\"";
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
        QTest::addColumn<bool>("power");
        QTest::addColumn<bool>("chip");
        QTest::addColumn<int>("version");
        QTest::addColumn<QByteArray>("command"); // code, P2, P3, P4
        QTest::addColumn<int>("status");         // -1: success
        const auto row = [](const char *name, bool power, bool chip, int version, const char *hex,
                            int status) {
            QTest::newRow(name) << power << chip << version << QByteArray::fromHex(hex) << status;
        };
        row("info while off", false, true, 0x0105, "01000000", -1);
        row("read while off", false, true, 0x0105, "08000000", 0x20);
        row("read without chip", true, false, 0x0105, "08000000", 0x20);
        row("id without chip", true, false, 0x0105, "0a000000", -1);
        row("block 1024", true, true, 0x0105, "06000400", 0x11);
        row("several 1025", true, true, 0x0105, "06000401", 0x11);
        row("erase fails", true, true, 0x0105, "06030000", 0x40);
        row("erase bad block", true, true, 0x0105, "06050000", 0x40);
        row("unknown command", true, true, 0x0105, "0b000000", 0x11);
        row("unknown sub-function", true, true, 0x0105, "04030000", 0x11);
        row("ecc spare 13", true, true, 0x0105, "04040d00", 0x11);
        row("wrong entry code", true, true, 0x0105, "e0010203", 0x11);
        row("id on 1.0", true, true, 0x0100, "0a000000", 0x11);
        row("ecc on 1.3", true, true, 0x0103, "04041a00", 0x11);
        row("ecc on 1.4", true, true, 0x0104, "04041a00", -1);
    }

    void statuses()
    {
        QFETCH(bool, power);
        QFETCH(bool, chip);
        QFETCH(int, version);
        QFETCH(QByteArray, command);
        QFETCH(int, status);
        Device device;
        device.chip.setFactoryBad({5});
        device.chip.setEraseFail({3});
        if (!chip)
            device.chip.remove();
        device.firmware.setVersion(version >> 8, version & 0xFF);
        if (power)
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
        const QByteArray phase = interleave(data, spares, spareSize);
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

    void programTwiceKeepsAnd()
    {
        Device device;
        device.powerOn();
        const QByteArray first = randomBytes(BlockData, 1);
        const QByteArray second = randomBytes(BlockData, 2);
        for (const QByteArray &data : {first, second}) {
            device.onBlock(CmdProgramBlock, 9);
            device.write(data);
            QVERIFY(isSuccess(device.link.take()));
        }
        QByteArray expected = first;
        for (int i = 0; i < expected.size(); ++i)
            expected[i] = char(first[i] & second[i]);
        QVERIFY(device.onBlock(CmdReadBlock, 9).mid(FrameSize) == expected);
        QVERIFY(isSuccess(device.onBlock(CmdErase, 9)));
        QVERIFY(device.onBlock(CmdReadBlock, 9).mid(FrameSize) ==
                QByteArray(BlockData, char(0xFF)));
    }

    // Worn-out blocks, failing pages and random flips, each as a real chip shows them.
    void chipFaults()
    {
        Device device;
        device.powerOn();
        device.chip.setWearLimit(2);
        QVERIFY(isSuccess(device.onBlock(CmdErase, 9)));
        QVERIFY(isSuccess(device.onBlock(CmdErase, 9)));
        QCOMPARE(device.onBlock(CmdErase, 9), errorAnswer(StatusOperationError));

        // The failure is told after the whole data phase; the failing page keeps its cells.
        device.chip.addProgramFail(6, 3);
        QVERIFY(device.onBlock(CmdProgramBlock, 6).isEmpty());
        device.write(QByteArray(BlockData, 0));
        QCOMPARE(device.link.take(), errorAnswer(StatusOperationError));
        const QByteArray read = device.onBlock(CmdReadBlock, 6).mid(FrameSize);
        QVERIFY(read.mid(2 * NandChip::PageSize, NandChip::PageSize) ==
                QByteArray(NandChip::PageSize, 0));
        QVERIFY(read.mid(3 * NandChip::PageSize, NandChip::PageSize) ==
                QByteArray(NandChip::PageSize, char(0xFF)));

        // Random flips follow their seed, and each read draws new ones.
        const auto flippedReads = [](quint64 seed) {
            NandChip chip;
            chip.setRandomFlips(1e-4, seed);
            QByteArray reads(2 * NandChip::PageSize, 0);
            chip.readPage(1, 0, reads.data(), nullptr);
            chip.readPage(1, 0, reads.data() + NandChip::PageSize, nullptr);
            return reads;
        };
        const QByteArray reads = flippedReads(3);
        QCOMPARE(reads, flippedReads(3));
        QVERIFY(reads != flippedReads(4));
        QVERIFY(reads.left(NandChip::PageSize) != reads.mid(NandChip::PageSize));
        QVERIFY(reads.count(char(0xFF)) > NandChip::PageSize);
    }

    void eraseSeveralSkipsBadAndReportsFailure()
    {
        Device device;
        device.powerOn();
        device.chip.setFactoryBad({1});
        device.chip.setEraseFail({2});
        const QByteArray zeros(BlockData, 0);
        for (const int block : {0, 3, 4}) {
            device.onBlock(CmdProgramBlock, block);
            device.write(zeros);
        }
        device.link.take();
        // Blocks 0..3: bad block 1 is skipped, block 2 fails, block 3 is still erased; 4 is not.
        QCOMPARE(device.command(CmdErase, 3, 0, EraseSeveralBlocks | EraseInPlaceFlag),
                 errorAnswer(StatusOperationError));
        const QByteArray erased(BlockData, char(0xFF));
        QVERIFY(device.onBlock(CmdReadBlock, 0).mid(FrameSize) == erased);
        QVERIFY(device.onBlock(CmdReadBlock, 3).mid(FrameSize) == erased);
        QVERIFY(device.onBlock(CmdReadBlock, 4).mid(FrameSize) == zeros);
        // A bad block within the range is left alone, not reported as a failure.
        QVERIFY(isSuccess(device.command(CmdErase, 1, 0, EraseSeveralBlocks)));
    }

    void badBlockList()
    {
        Device device;
        device.powerOn();
        device.chip.setFactoryBad({5, 528});
        QCOMPARE(device.onBlock(CmdMarkBad, 1023).size(), FrameSize);
        const QByteArray list = device.command(CmdBlockCheck, 0x00, 0x04, BlockListFlag);
        QVERIFY(isSuccess(list));
        QCOMPARE(quint8(list[4]), quint8(3));
        QCOMPARE(list.mid(FrameSize), QByteArray::fromHex("05001002ff03"));
        QCOMPARE(device.onBlock(CmdBlockCheck, 528).mid(3, 2), QByteArray(2, 0));
        QCOMPARE(device.onBlock(CmdBlockCheck, 6).mid(3, 2), QByteArray(2, char(0xFF)));
        // A factory mark is a first spare byte other than 0xFF in page 0 or 1.
        const char mark = 0x3C;
        device.chip.programPage(40, 1, QByteArray(NandChip::PageSize, char(0xFF)).constData(),
                                &mark, 1);
        QCOMPARE(device.onBlock(CmdBlockCheck, 40).mid(3, 2).toHex(), QByteArray("ff3c"));
        QCOMPARE(device.command(CmdBlockCheck, 0x00, 0x04, BlockListFlag).mid(FrameSize).toHex(),
                 QByteArray("050028001002ff03"));

        // A list that the one-byte count cannot announce is an error, not a shortened list.
        QList<int> many;
        for (int block = 0; block < 300; ++block)
            many.append(block);
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

    void bootLoader_data()
    {
        using B = SimFirmware::BootFault;
        QTest::addColumn<int>("fault");
        QTest::newRow("clean upload") << int(B::None);
        QTest::newRow("wrong ready code") << int(B::WrongReadyCode);
        QTest::newRow("no ack") << int(B::NoAck);
        QTest::newRow("ack 0x00") << int(B::WrongAck);
    }

    void bootLoader()
    {
        using B = SimFirmware::BootFault;
        QFETCH(int, fault);
        Device device;
        device.firmware.setVersion(1, 2);
        device.firmware.setBootFault(B(fault));
        device.write(QByteArray(1, char(FwProbe)));
        QVERIFY2(device.link.sent.isEmpty(), "running firmware answered the probe");
        QVERIFY(
            device.command(CmdFwUpgrade, FwEntryCode[0], FwEntryCode[1], FwEntryCode[2]).isEmpty());
        QVERIFY(device.firmware.inBootLoader());
        QVERIFY(device.command(CmdGetInfo).isEmpty());

        device.write(QByteArray(1, char(FwProbe)));
        const QByteArray ready = device.link.take();
        QVERIFY(isSuccess(ready));
        const bool readyOk = ready.left(5) == QByteArray::fromHex("42534e5034");
        QCOMPARE(readyOk, fault != int(B::WrongReadyCode));
        const QByteArray image = randomBytes(FwImageSize, 3);
        device.write(image.left(FwImageSize - 1));
        QVERIFY(device.link.sent.isEmpty());
        device.write(image.right(1));

        const QByteArray ack =
            fault == int(B::NoAck) ? QByteArray() : QByteArray(1, char(fault != int(B::WrongAck)));
        QCOMPARE(device.link.take(), ack);
        QCOMPARE(device.firmware.uploadedImage(), image);
        const bool installed = ack == QByteArray(1, char(FwAckOk));
        QCOMPARE(device.link.leaves, installed ? QList<int>{2000} : QList<int>{});
        // Back on the bus: the new firmware runs, or the boot loader still waits after a failure.
        device.firmware.attached();
        QCOMPARE(device.firmware.inBootLoader(), !installed);
        const QByteArray info = device.command(CmdGetInfo);
        QCOMPARE(info.isEmpty(), !installed);
        if (installed)
            QCOMPARE(info.mid(3, 2), QByteArray::fromHex("0105"));
    }

    void programmerSetFollowsConfig()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("chip.bin");
        {
            SimProgrammerSet set(
                ("programmers=2;firmware=1.3;chip=adf1;bad=4;rate=5000;storage=" + file).toUtf8());
            QVERIFY2(set.isValid(), qPrintable(set.errorString()));
            QCOMPARE(listedDevices(set.driver()), 2);
            for (int i = 0; i < 2; ++i) {
                QCOMPARE(set.firmware(i).version(), quint16(0x0103));
                QCOMPARE(set.chip(i).id(), QByteArray::fromHex("adf1"));
                QVERIFY(set.chip(i).isBad(4));
            }
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

    void uploadThroughDriverReturnsWithNewFirmware()
    {
        SimProgrammerSet set("bootloader=1;firmware=1.2");
        SimDriver &driver = set.driver();
        set.firmware(0).setRestartDelay(400);
        FtHandle handle = nullptr;
        QCOMPARE(driver.open(0, &handle), int(FtOk));
        writeTo(driver, handle, QByteArray(1, char(FwProbe)));
        QCOMPARE(readFrom(driver, handle, FrameSize).left(5), QByteArray::fromHex("42534e5034"));
        const QByteArray image = randomBytes(FwImageSize, 4);
        for (int at = 0; at < FwImageSize; at += FwPieceSize)
            writeTo(driver, handle, image.mid(at, FwPieceSize));
        QCOMPARE(readFrom(driver, handle, 1), QByteArray(1, char(FwAckOk)));
        QCOMPARE(set.firmware(0).uploadedImage(), image);

        // The device drops off the bus and comes back by itself, running the new firmware.
        QTRY_COMPARE_WITH_TIMEOUT(listedDevices(driver), 0, 2000);
        QTRY_COMPARE_WITH_TIMEOUT(listedDevices(driver), 1, 2000);
        driver.close(handle);
        QCOMPARE(driver.open(0, &handle), int(FtOk));
        writeTo(driver, handle, SimFrame::make(CommandMarker, CmdGetInfo, 0, 0, 0));
        QCOMPARE(readFrom(driver, handle, FrameSize).mid(3, 2), QByteArray::fromHex("0105"));
        driver.close(handle);
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
