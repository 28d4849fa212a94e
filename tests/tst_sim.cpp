#include "protocol/commands.h"
#include "sim/nandchip.h"
#include "sim/simconfig.h"
#include "sim/simdriver.h"
#include "sim/simfirmware.h"
#include "sim/simframe.h"
#include "sim/simprogrammerset.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <numeric>

using namespace Npx4Protocol;
using Fault = SimFirmware::AnswerFault;

namespace {

constexpr int BlockData = NandChip::PagesPerBlock * NandChip::PageSize;
constexpr int PageBytes = NandChip::PageSize + NandChip::SpareSize;
const QByteArray erased(PageBytes, char(0xFF));

// Data and spare bytes of a page, as a read shows them.
QByteArray readPage(const NandChip &chip, int block, int page)
{
    QByteArray bytes(PageBytes, 0);
    chip.readPage(block, page, bytes.data(), bytes.data() + NandChip::PageSize);
    return bytes;
}

// A page of varied data followed by `spare`, the rest of the spare area erased.
QByteArray page(int seed, const QByteArray &spare = QByteArray())
{
    QByteArray bytes = erased;
    for (int i = 0; i < NandChip::PageSize; ++i)
        bytes[i] = char((i * 7 + seed * 13) ^ (i >> 8));
    return bytes.replace(NandChip::PageSize, spare.size(), spare);
}

void program(NandChip &chip, int block, int page, const QByteArray &bytes, int spareSize = 0)
{
    chip.programPage(block, page, bytes.constData(), bytes.constData() + NandChip::PageSize,
                     spareSize);
}

// The host's side of the link as the firmware sees it: records everything the device sends,
// and when it is ready, in microseconds from a clock that stands still.
struct RecordingLink : SimHostLink
{
    QByteArray sent;
    QList<QPair<int, QByteArray>> later;
    QList<qint64> readyUs;
    const Clock::time_point start = Clock::now();
    void send(const char *data, qint64 size) override { sent.append(data, size); }
    Clock::time_point now() const override { return start; }
    void sendAt(Clock::time_point at, const char *data, qint64 size) override
    {
        readyUs.append(std::chrono::duration_cast<std::chrono::microseconds>(at - start).count());
        send(data, size);
    }
    void sendAfter(int ms, const QByteArray &bytes) override { later.append({ms, bytes}); }
    void leaveBus(int) override { QFAIL("the device left the bus"); }
    void leaveBusAfter(int, int) override { QFAIL("the device left the bus"); }
};

// A chip, its firmware and a recording link, driven by raw bytes.
struct Device
{
    Device() { command(CmdPowerOn); }
    void write(const QByteArray &data) { firmware.received(data.constData(), data.size(), link); }
    QByteArray take() { return std::exchange(link.sent, QByteArray()); }
    QByteArray command(quint8 code, quint8 p2 = 0, quint8 p3 = 0, quint8 p4 = 0)
    {
        write(SimFrame::make(CommandMarker, code, p2, p3, p4));
        return take();
    }
    QByteArray onBlock(quint8 code, int block) { return command(code, block & 0xFF, block >> 8); }

    NandChip chip;
    SimFirmware firmware{&chip};
    RecordingLink link;
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

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private slots:
    // Programming can only clear bits, of the page it names; an erase sets one block back to
    // 0xFF, unless the block is bad or its erase fails.
    void programAndsEraseRestores()
    {
        NandChip chip;
        const QByteArray first = page(1, QByteArray::fromHex("ff00a5c30f"));
        const QByteArray second = page(2, QByteArray::fromHex("fff05a3c"));
        program(chip, 7, 63, first, 5);
        program(chip, 7, 63, second, 4);
        QByteArray expected = first;
        for (int i = 0; i < PageBytes; ++i)
            expected[i] = char(expected[i] & second[i]);
        QCOMPARE(readPage(chip, 7, 63), expected);
        program(chip, 1023, 0, first);
        for (const auto &[block, page] : {std::pair(7, 62), {6, 63}, {8, 63}, {1023, 1}})
            QCOMPARE(readPage(chip, block, page), erased);

        QVERIFY(chip.erase(7));
        program(chip, 7, 63, second);
        QCOMPARE(readPage(chip, 7, 63), page(2)); // as on a new page: the erase set every bit
        chip.setEraseFail({1023});
        chip.markBad(7);
        QVERIFY(!chip.erase(1023) && !chip.erase(1023) && !chip.isBad(1023) && !chip.erase(7));
        QCOMPARE(readPage(chip, 1023, 0), page(1));
    }

    void flipsShowOnReadsOnly()
    {
        NandChip chip;
        program(chip, 4, 2, page(5));
        chip.addDataFlip(4, 2 * NandChip::PageSize + 10, 3);
        chip.addDataFlip(4, 2 * NandChip::PageSize + 10, 3); // twice is still one flip
        chip.addDataFlip(4, NandChip::PagesPerBlock * NandChip::PageSize - 1, 7);
        chip.addSpareFlip(4, 2, 25, 0);
        QByteArray flipped = page(5);
        flipped[10] = char(flipped[10] ^ 0x08);
        flipped[NandChip::PageSize + 25] = char(0xFE);
        QCOMPARE(readPage(chip, 4, 2) + readPage(chip, 4, 2), flipped + flipped);
        QCOMPARE(readPage(chip, 4, 63).at(NandChip::PageSize - 1), char(0x7F));

        // Programming works on the stored cells, not on what a read shows.
        program(chip, 4, 2, page(5));
        chip.clearFlips();
        QCOMPARE(readPage(chip, 4, 2), page(5));

        // Random flips follow their seed, and each read draws new ones.
        chip.setRandomFlips(1e-4, 3);
        const QByteArray reads[] = {readPage(chip, 1, 0), readPage(chip, 1, 0)};
        chip.setRandomFlips(1e-4, 3);
        QCOMPARE(readPage(chip, 1, 0), reads[0]);
        QVERIFY(reads[0] != reads[1] && reads[0].count(char(0xFF)) > PageBytes / 2);
    }

    // The storage file keeps data, spare and bad blocks (its own and the chip's) across chips.
    void storageKeepsChipAcrossObjects()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("chip.bin");
        const QByteArray last = page(6, QByteArray(64, 0x11));
        const qint64 size = qint64(NandChip::BlockCount) * NandChip::PagesPerBlock * PageBytes +
                            NandChip::BlockCount;
        QString error;
        {
            NandChip chip;
            chip.setFactoryBad({3});
            QVERIFY2(chip.attachStorage(path, &error), qPrintable(error));
            QCOMPARE(QFileInfo(path).size(), size);
            QCOMPARE(readPage(chip, 1023, 63), erased);
            program(chip, 1023, 63, last, 64);
            program(chip, 2, 0, last);
            QVERIFY(chip.erase(2));
            chip.markBad(500);
            // Writes reach the file at once, not when the chip goes away.
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly) &&
                    file.seek(size - NandChip::BlockCount - PageBytes));
            QCOMPARE(file.read(PageBytes), last);
        }
        NandChip chip;
        chip.setFactoryBad({7});
        program(chip, 1, 1, last); // replaced by the file's contents
        QVERIFY2(chip.attachStorage(path, &error), qPrintable(error));
        QCOMPARE(readPage(chip, 1023, 63), last);
        QCOMPARE(readPage(chip, 2, 0) + readPage(chip, 1, 1), erased + erased);
        QCOMPARE(chip.badBlocks(), QList<int>({3, 7, 500}));
        // A file of the wrong size is refused and left as it is.
        QVERIFY(QFile::resize(path, size - 1) && !NandChip().attachStorage(path, &error));
        QCOMPARE(QFileInfo(path).size(), size - 1);
    }

    void configAcceptsEveryKey()
    {
        // The defaults: a real programmer on a high-speed bridge.
        for (const QByteArray &text : {QByteArray(), QByteArray("1"), QByteArray("  ")}) {
            const SimConfig d = SimConfig::parse(text);
            QCOMPARE(QList<qint64>({d.programmers, d.packetSize(), d.linkRate(), d.pageReadUs,
                                    d.pageProgramUs, d.blockEraseUs}),
                     QList<qint64>({1, 512, 8000000, 25, 300, 2000}));
            QVERIFY(d.isValid() && d.chipId == QByteArray::fromHex("ECF1009540"));
        }
        const SimConfig c = SimConfig::parse(
            "programmers=3; firmware=1.12;bootloader=1;chip=adf1801d;bad=5, 700,0x3ff;"
            "erase-fail=0;flip=7:131071:7,0:0x10:0;rate=1000000;"
            "link=full;nand-timing=1:2:3;flip-rate=1.5e-6;seed=7;program-fail=3,4:63;wear=10");
        QCOMPARE(QList<qint64>({c.programmers, c.firmwareMajor, c.firmwareMinor, c.bootLoader,
                                c.linkRate(), c.packetSize(), c.pageReadUs, c.pageProgramUs,
                                c.blockEraseUs, qint64(c.seed), c.wear.value_or(0)}),
                 QList<qint64>({3, 1, 12, 1, 1000000, 64, 1, 2, 3, 7, 10}));
        QCOMPARE(c.chipId, QByteArray::fromHex("ADF1801D"));
        QCOMPARE(c.badBlocks + c.eraseFail, QList<int>({5, 700, 1023, 0}));
        QCOMPARE(c.flips, QList<SimConfig::Flip>({{7, 131071, 7}, {0, 16, 0}}));
        QCOMPARE(c.flipRate, 1.5e-6);
        QCOMPARE(c.programFails, QList<SimConfig::ProgramFail>({{3, -1}, {4, 63}}));

        // Items of one programmer add to the list keys and replace the others; the storage
        // file is programmer 1's unless another names its own.
        const SimConfig gang = SimConfig::parse("programmers=3;bad=1;bad@2=9;chip@3=none;"
                                                "storage=/tmp/a;storage@3=/tmp/b;unplug@2=7");
        const SimConfig one = gang.forProgrammer(1);
        const SimConfig two = gang.forProgrammer(2);
        const SimConfig three = gang.forProgrammer(3);
        QCOMPARE(one.badBlocks + two.badBlocks, QList<int>({1, 1, 9}));
        QCOMPARE(QList<int>({one.unplugAtCommand, two.unplugAtCommand}), QList<int>({0, 7}));
        QVERIFY(gang.isValid() && two.chipId == one.chipId && three.chipId.isEmpty());
        QCOMPARE(QStringList({one.storage, two.storage, three.storage}),
                 QStringList({"/tmp/a", "", "/tmp/b"}));
    }

    // A bad item makes the whole text invalid; the message names the key and quotes the part
    // in brackets.
    void configRejects()
    {
        for (const char *marked :
             {"[programers]=2", "[chip]", "bad=1;[bad]=2", "[rate]=", "programmers=[two]",
              "firmware=[15]", "chip=[ECF10]", "bad=5,[1024]", "flip=1:[131072]:0", "link=[usb2]",
              "nand-timing=[25:300]", "flip-rate=[2]", "flip-rate=[-1e-6]", "program-fail=[3:64]",
              "unplug=[0]", "[chip@0]=none", "[programmers@1]=2", "bad@2=[1024];programmers=2",
              "programmers=2;[chip@3]=none"}) {
            const QString text = QString(marked).remove('[').remove(']');
            const QString quoted = '"' + QString(marked).section('[', 1).section(']', 0, 0) + '"';
            const QString error = SimConfig::parse(text.toLatin1()).errorString();
            QVERIFY2(error.contains(quoted) && error.contains(text.section('=', 0, 0)), marked);
        }
    }

    // Bytes that make no valid frame get no answer, and the next real frame is still found, even
    // when it comes one byte at a time.
    void frameHunting()
    {
        const QByteArray info = SimFrame::make(CommandMarker, CmdGetInfo, 0, 0, 0);
        for (const QByteArray &before :
             {QByteArray(1, char(FwProbe)), QByteArray::fromHex("00ff1234"),
              QByteArray(1, char(CommandMarker)), info.left(6) + char(info[6] ^ 1), info.left(4)}) {
            Device device;
            device.write(before);
            for (const char byte : info)
                device.write(QByteArray(1, byte));
            QVERIFY2(device.link.sent.size() == FrameSize && isSuccess(device.link.sent),
                     before.toHex().constData());
        }
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
        if (setup == "off")
            device.command(CmdPowerOff);
        if (setup == "no chip")
            device.chip.remove();
        if (setup.startsWith("1."))
            device.firmware.setVersion(1, setup.mid(2).toInt());
        const auto p = [&](int i) { return quint8(command[i]); };
        const QByteArray answer = device.command(p(0), p(1), p(2), p(3));
        QVERIFY2(status >= 0 ? answer == errorAnswer(quint32(status)) : isSuccess(answer),
                 answer.toHex().constData());
        if (p(0) == CmdReadId && status < 0) // an absent chip reads as five 0xFF
            QCOMPARE(answer.mid(FrameSize), QByteArray(5, char(0xFF)));
    }

    // Worn-out blocks, failing pages and blocks, each as a real chip shows them.
    void chipFaults()
    {
        Device device;
        device.chip.setWearLimit(2);
        QVERIFY(isSuccess(device.onBlock(CmdErase, 9)) && isSuccess(device.onBlock(CmdErase, 9)));
        QCOMPARE(device.onBlock(CmdErase, 9), errorAnswer(StatusOperationError));

        // A failed page is told after the whole data phase and keeps its cells; the others are
        // programmed.
        device.chip.addProgramFail(6, 3);
        const QByteArray zeros(BlockData, 0);
        for (const int block : {0, 3, 4, 6}) {
            device.onBlock(CmdProgramBlock, block);
            device.write(zeros);
        }
        QCOMPARE(device.take(), errorAnswer(StatusOperationError));
        QVERIFY(device.onBlock(CmdReadBlock, 6).mid(FrameSize) ==
                QByteArray(zeros).replace(3 * NandChip::PageSize, NandChip::PageSize,
                                          erased.left(NandChip::PageSize)));

        // Erasing blocks 0..3 skips bad block 1, tells that block 2 failed after erasing 3; a
        // bad block in the range is no failure.
        device.chip.setFactoryBad({1});
        device.chip.setEraseFail({2});
        QCOMPARE(device.command(CmdErase, 3, 0, EraseSeveralBlocks | EraseInPlaceFlag),
                 errorAnswer(StatusOperationError));
        const QByteArray blank(BlockData, char(0xFF));
        for (const auto &[block, data] : {std::pair(0, blank), {3, blank}, {4, zeros}})
            QVERIFY(device.onBlock(CmdReadBlock, block).mid(FrameSize) == data);
        QVERIFY(isSuccess(device.command(CmdErase, 1, 0, EraseSeveralBlocks)));
    }

    void badBlockList()
    {
        Device device;
        device.chip.setFactoryBad({5, 528});
        QCOMPARE(device.onBlock(CmdMarkBad, 1023).size(), FrameSize);
        // A factory mark is a first spare byte other than 0xFF in page 0 or 1.
        program(device.chip, 40, 1, page(0, "\x3c"), 1);
        for (const auto &[block, marks] : {std::pair(528, "0000"), {6, "ffff"}, {40, "ff3c"}})
            QCOMPARE(device.onBlock(CmdBlockCheck, block).mid(3, 2).toHex(), QByteArray(marks));
        const QByteArray list = device.command(CmdBlockCheck, 0x00, 0x04, BlockListFlag);
        QVERIFY(isSuccess(list) && quint8(list[4]) == 4);
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
        const int whole = FrameSize + BlockData;
        QTest::newRow("no answer") << int(Fault::NoAnswer) << 0 << 0 << 0;
        QTest::newRow("delay") << int(Fault::Delay) << 50 << 0 << 1;
        QTest::newRow("truncate") << int(Fault::Truncate) << 3 << 3 << 0;
        QTest::newRow("corrupt crc") << int(Fault::CorruptCrc) << 0 << whole << 0;
        QTest::newRow("busy timeout") << int(Fault::ErrorStatus) << 0x30 << FrameSize << 0;
        QTest::newRow("truncate data") << int(Fault::TruncateData) << 5000 << FrameSize + 5000 << 0;
    }

    void answerFaults()
    {
        QFETCH(int, kind);
        QFETCH(int, value);
        QFETCH(int, sentNow);
        QFETCH(int, sentLater);
        Device device;
        const QByteArray clean = device.onBlock(CmdReadBlock, 1);
        device.firmware.injectAnswerFault({Fault::Kind(kind), value, CmdReadBlock});
        QVERIFY2(isSuccess(device.command(CmdGetInfo)), "a fault for another command was applied");
        QByteArray now = device.onBlock(CmdReadBlock, 1);
        QCOMPARE(now.size(), sentNow);
        QCOMPARE(device.link.later.size(), sentLater);
        if (sentLater)
            QCOMPARE(device.link.later[0], qMakePair(value, clean));
        if (kind == Fault::CorruptCrc)
            now[5] = char(now[5] ^ 0xFF);
        QVERIFY(kind == Fault::ErrorStatus ? now == errorAnswer(quint32(value))
                                           : clean.startsWith(now));
        QCOMPARE(device.onBlock(CmdReadBlock, 1), clean); // the fault is used up

        device.firmware.injectAnswerFault({Fault::SlowBytes, 4, 0});
        device.link.later.clear();
        QVERIFY(device.command(CmdGetInfo).isEmpty());
        QCOMPARE(device.link.later.size(), FrameSize);
        QCOMPARE(device.link.later.last().first, 4 * FrameSize);
    }

    // Answers wait for the chip, which works through its commands one after the other: erases,
    // the first page of a read, and the pages of a program.
    void chipTiming()
    {
        using namespace std::chrono_literals;
        Device device;
        device.firmware.setChipTiming(25us, 300us, 2000us);
        device.onBlock(CmdErase, 9);
        device.command(CmdErase, 3, 0, EraseSeveralBlocks);
        device.onBlock(CmdReadBlock, 1);
        device.onBlock(CmdProgramBlock, 2);
        device.write(QByteArray(BlockData, 0));
        QCOMPARE(device.link.readyUs, QList<qint64>({0, 2000, 10000, 10025, 30800}));
    }

    // Every programmer gets the configured firmware and chip, and a flip sequence of its own.
    void programmerSetFollowsConfig()
    {
        QTemporaryDir dir;
        const QByteArray storage = "storage=" + dir.filePath("chip.bin").toUtf8();
        SimProgrammerSet set("programmers=2;firmware=1.3;chip=adf1;bad=4;flip-rate=0.01;" +
                             storage);
        QByteArray reads[2];
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(set.firmware(i).version(), quint16(0x0103));
            QVERIFY(set.chip(i).id() == QByteArray::fromHex("adf1") && set.chip(i).isBad(4));
            reads[i] = readPage(set.chip(i), 0, 0);
        }
        QVERIFY2(reads[0] != reads[1], "the chips share one sequence of random flips");

        // One owner at a time: while one holds the chip in the file, another sees it opened.
        SimProgrammerSet other(storage);
        FtHandle held = nullptr;
        QCOMPARE(set.driver().open(0, &held), int(FtOk));
        FtDeviceListInfoNode node{};
        quint32 count = 1;
        other.driver().createDeviceInfoList(&count);
        other.driver().getDeviceInfoList(&node, &count);
        QVERIFY(node.flags & FtFlagOpened);
        FtHandle refused = nullptr;
        QCOMPARE(other.driver().open(0, &refused), int(FtDeviceNotOpened));
        set.driver().close(held);
        QCOMPARE(other.driver().open(0, &held), int(FtOk));
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
