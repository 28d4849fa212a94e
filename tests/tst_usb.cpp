#include "support/scripteddeviceend.h"
#include "support/simdriverguard.h"
#include "usb/ftd.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <memory>

using Call = SimDriver::Call;

namespace {

constexpr QIODevice::OpenMode Direct = QIODevice::ReadWrite | QIODevice::Unbuffered;

QByteArray pattern(int size, int seed = 0)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 7);
    return bytes;
}

// Waits for `count` bytes from the channel, however they are paced.
QByteArray readBytes(Ftd &ftd, int count)
{
    QByteArray bytes;
    while (bytes.size() < count && ftd.waitForReadyRead(1000))
        bytes += ftd.read(count - bytes.size());
    return bytes;
}

// A channel on the first of the driver's devices; `end`, when given, is behind its bridge.
struct Rig
{
    explicit Rig(QIODevice::OpenMode mode = Direct, SimDeviceEnd *end = nullptr)
    {
        sim->addProgrammer(end);
        opened = ftd.openDevice(0, mode);
        sim->resetStatistics();
    }
    SimDevice &device() { return sim->device(0); }

    SimDriverGuard sim;
    Ftd ftd;
    bool opened = false;
};

enum Source
{
    Silent,
    Queued,
    TimedArrival,
    OtherThread,
    LeavesBus
};

enum Operation
{
    OpenOp,
    ReadOp,
    WriteOp,
    LatencyOp
};

} // namespace

class TestUsb : public QObject
{
    Q_OBJECT

private slots:
    void waitForReadyRead_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("source");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<bool>("polls");
        // A timed arrival or leave happens this long after the start; the wait cannot end
        // earlier.
        QTest::addColumn<int>("minimumMs");

        QTest::newRow("18 ms polls to the deadline") << 18 << int(Silent) << false << true << 18;
        QTest::newRow("18 ms poll sees a late byte")
            << 18 << int(TimedArrival) << true << true << 1;
        QTest::newRow("19 ms waits on the event") << 19 << int(Silent) << false << false << 19;
        QTest::newRow("event brings a late byte") << 200 << int(TimedArrival) << true << false << 5;
        QTest::newRow("0 only tests the event") << 0 << int(Silent) << false << false << 0;
        QTest::newRow("queued bytes are ready at once") << 19 << int(Queued) << true << false << 0;
        QTest::newRow("no limit, another thread sends")
            << -5 << int(OtherThread) << true << false << 0;
        QTest::newRow("no limit, device leaves the bus")
            << -5 << int(LeavesBus) << false << false << 50;
    }

    void waitForReadyRead()
    {
        QFETCH(int, limit);
        QFETCH(int, source);
        QFETCH(bool, expected);
        QFETCH(int, minimumMs);
        Rig rig;
        QVERIFY(rig.opened);
        QSignalSpy readyRead(&rig.ftd, &Ftd::readyRead);
        QElapsedTimer timer;
        timer.start();
        SimDevice &device = rig.device();
        std::unique_ptr<QThread> sender(QThread::create([&device] {
            QThread::msleep(20);
            device.send("o");
        }));
        if (source == Queued)
            device.send("q");
        else if (source == TimedArrival)
            device.sendAfter(minimumMs, "t");
        else if (source == LeavesBus)
            device.leaveBusAfter(minimumMs, -1);
        else if (source == OtherThread)
            sender->start();

        QCOMPARE(rig.ftd.waitForReadyRead(limit), expected);
        QVERIFY(timer.nsecsElapsed() >= minimumMs * 1000000LL);
        QCOMPARE(readyRead.count(), expected ? 1 : 0);
        // bytesAvailable() asks once; polling asks again until the deadline. (With data on its
        // way the path taken depends on when it arrives.)
        if (source == Silent)
            QTEST(rig.sim->calls(Call::GetQueueStatus) > 1, "polls");
        QVERIFY(sender->wait(1000));
    }

    void readDataTakesOnlyWhatIsQueued_data()
    {
        QTest::addColumn<int>("queued");
        QTest::addColumn<int>("maxSize");
        QTest::addColumn<int>("expected");
        QTest::newRow("10 queued, 4 asked") << 10 << 4 << 4;
        QTest::newRow("3 queued, 10 asked") << 3 << 10 << 3;
        QTest::newRow("nothing queued") << 0 << 4 << 0;
    }

    void readDataTakesOnlyWhatIsQueued()
    {
        QFETCH(int, queued);
        QFETCH(int, maxSize);
        QFETCH(int, expected);
        Rig rig;
        const QByteArray sent = QByteArray("0123456789").left(queued);
        rig.device().send(sent);
        char buffer[16];
        QCOMPARE(rig.ftd.read(buffer, maxSize), qint64(expected));
        QCOMPARE(QByteArray(buffer, expected), sent.left(expected));
        // Nothing queued: no read that could wait for data.
        QCOMPARE(rig.sim->calls(Call::Read), expected ? 1 : 0);
        QCOMPARE(rig.sim->overlongReads(), 0);
        QCOMPARE(rig.ftd.bytesAvailable(), qint64(queued - expected));
    }

    void bufferedChannel()
    {
        Rig rig(QIODevice::ReadWrite);
        rig.device().send("0123456789");
        QCOMPARE(rig.ftd.read(4), QByteArray("0123"));
        // The rest sits in the channel's buffer, not in the device queue.
        rig.device().send("abc");
        QCOMPARE(rig.ftd.bytesAvailable(), qint64(9));
        QVERIFY(rig.ftd.reset());
        QCOMPARE(rig.ftd.read(16), QByteArray());
    }

    void writeAndReopen()
    {
        ScriptedDeviceEnd end;
        Rig rig(Direct, &end);
        QCOMPARE(rig.ftd.write("hello"), qint64(5));
        QCOMPARE(end.written(), QByteArray("hello"));
        QCOMPARE(rig.sim->calls(Call::Write), 1);

        Ftd other;
        QVERIFY(!other.openDevice(0, Direct));
        QSignalSpy aboutToClose(&rig.ftd, &Ftd::aboutToClose);
        QVERIFY(rig.ftd.openDevice(0, Direct));
        QCOMPARE(aboutToClose.count(), 1);
        QCOMPARE(rig.ftd.write("x"), qint64(1));
        rig.ftd.close();
        QVERIFY(other.openDevice(0, Direct));
    }

    void unplugIsReportedOnce()
    {
        Rig rig;
        QSignalSpy finished(&rig.ftd, &Ftd::readChannelFinished);
        QSignalSpy aboutToClose(&rig.ftd, &Ftd::aboutToClose);
        rig.device().unplug();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 2000);
        QVERIFY(!rig.ftd.isOpen());
        QCOMPARE(aboutToClose.count(), 1);
        QVERIFY(!rig.ftd.errorString().startsWith("ftd2xx"));
        QCOMPARE(rig.sim->calls(Call::Close), 1);

        // The closed channel leaves the device alone, even once it is back.
        rig.device().plug();
        QTest::qWait(600);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(rig.sim->calls(Call::GetStatus), 1);
    }

    void failuresSetTheErrorText_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<int>("failingCall"); // -1: none injected
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("text");
        QTest::newRow("open refused") << int(OpenOp) << int(Call::Open) << int(FtDeviceNotOpened)
                                      << "ftd2xx: Device not opened";
        QTest::newRow("unknown status")
            << int(ReadOp) << int(Call::Read) << 42 << "ftd2xx: Unknown error #42";
        QTest::newRow("read after unplug") << int(ReadOp) << -1 << 0 << "ftd2xx: Io Error";
        QTest::newRow("write fails")
            << int(WriteOp) << int(Call::Write) << int(FtFailedToWriteDevice)
            << "ftd2xx: Failed to write device";
        QTest::newRow("latency beyond 8 bits")
            << int(LatencyOp) << -1 << 0 << "ftd2xx: Invalid parameter";
    }

    void failuresSetTheErrorText()
    {
        QFETCH(int, operation);
        QFETCH(int, failingCall);
        QFETCH(int, status);
        QFETCH(QString, text);
        Rig rig;
        QSignalSpy error(&rig.ftd, &Ftd::error);
        rig.device().send("abc");
        if (failingCall >= 0)
            rig.sim->failNextCalls(Call(failingCall), status);
        else if (operation == ReadOp)
            rig.device().unplug();

        char buffer[4];
        if (operation == OpenOp)
            QVERIFY(!rig.ftd.openDevice(0, Direct));
        else if (operation == ReadOp)
            QCOMPARE(rig.ftd.read(buffer, 3), qint64(-1));
        else if (operation == WriteOp)
            QCOMPARE(rig.ftd.write("abc"), qint64(-1));
        else
            QVERIFY(!rig.ftd.setLatencyTimer(256));
        QCOMPARE(rig.ftd.errorString(), text);
        QCOMPARE(error.count(), 1);
        QCOMPARE(error.at(0).at(0).toString(), text);
    }

    void deviceList()
    {
        SimDriverGuard sim;
        QVERIFY(Ftd::deviceList().isEmpty());
        sim->addProgrammer();
        sim->addDevice("FT232R USB UART");
        sim->addProgrammer();
        sim->addProgrammer();
        sim->device(2).unplug();
        sim->device(3).setOpenedElsewhere(true);
        const QList<FtdDeviceInfo> devices = Ftd::deviceList();
        QCOMPARE(devices.size(), 3);
        for (int i = 0; i < devices.size(); ++i) {
            QCOMPARE(devices[i].index(), i);
            QCOMPARE(devices[i].isOpened(), i == 2);
        }
        QCOMPARE(QByteArray(devices[1].description().constData()), QByteArray("FT232R USB UART"));
        QCOMPARE(devices[2].serialNumber(), QByteArray(16, '\0'));
    }

    void watchNeverOverlapsATransfer()
    {
        Rig rig;
        // Each 2000-byte write takes 100 ms on the wire; writes go on until the watch has run
        // twice. The short pause between writes lets the watch take the channel's mutex.
        rig.device().setRate(20000);
        bool allWritten = true;
        std::unique_ptr<QThread> worker(QThread::create([&] {
            const QByteArray block(2000, 'b');
            QElapsedTimer timer;
            timer.start();
            while (rig.sim->calls(Call::GetStatus) < 2 && timer.elapsed() < 10000) {
                allWritten = allWritten && rig.ftd.write(block) == block.size();
                QThread::msleep(1);
            }
        }));
        worker->start();
        QTRY_VERIFY_WITH_TIMEOUT(worker->isFinished(), 12000);
        QVERIFY(allWritten);
        QVERIFY(rig.sim->calls(Call::GetStatus) >= 2);
        QCOMPARE(rig.sim->maxOverlap(), 1);
    }

    void readyReadReceiverMayReadTheChannel()
    {
        Rig rig;
        QByteArray received;
        connect(&rig.ftd, &Ftd::readyRead, &rig.ftd, [&] { received += rig.ftd.readAll(); });
        rig.device().send("p");
        // The watch finds the byte and announces it; the receiver reads it at once.
        QTRY_COMPARE_WITH_TIMEOUT(received, QByteArray("p"), 2000);
    }

    // A wait for bytes goes on while they keep coming and ends at the first silence.
    void waitForBytesWhileTheyCome()
    {
        Rig rig;
        rig.device().send("ab");
        rig.device().sendAfter(30, "cd");
        rig.device().sendAfter(60, "ef");
        QVERIFY(rig.ftd.waitForBytes(8, 50));
        QCOMPARE(rig.ftd.bytesAvailable(), qint64(6));
    }

    // A bridge with packets: a partly filled packet waits for the latency timer, an unread
    // host queue stalls the device, and a purge drops only what has arrived, without telling
    // the device behind the bridge.
    void strictLinkAndPurge()
    {
        ScriptedDeviceEnd end;
        Rig rig(Direct, &end);
        SimDevice &device = rig.device();
        device.setPacketSize(512);
        QVERIFY(rig.ftd.setLatencyTimer(200));
        QElapsedTimer timer;
        timer.start();
        device.send(pattern(700));
        QTRY_COMPARE_WITH_TIMEOUT(rig.ftd.bytesAvailable(), qint64(512), 150);
        QCOMPARE(readBytes(rig.ftd, 700), pattern(700));
        QVERIFY(timer.elapsed() >= 200);

        const QByteArray stream = pattern(200000, 1);
        device.send(stream);
        QTRY_COMPARE(rig.ftd.bytesAvailable(), SimDevice::HostQueueBytes);
        const int resyncs = end.resyncCount();
        rig.ftd.purge();
        QCOMPARE(end.resyncCount(), resyncs);
        const qint64 dropped = SimDevice::HostQueueBytes + 2 * 512;
        QCOMPARE(readBytes(rig.ftd, int(stream.size() - dropped)), stream.mid(dropped));
    }
};

QTEST_GUILESS_MAIN(TestUsb)
#include "tst_usb.moc"
