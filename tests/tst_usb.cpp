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

FtHandle openHandle(SimDriver &driver, int index)
{
    FtHandle handle = nullptr;
    return driver.open(index, &handle) == FtOk ? handle : nullptr;
}

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
        QFETCH(bool, polls);
        QFETCH(int, minimumMs);

        SimDriverGuard sim(1);
        SimDevice &device = sim->device(0);
        Ftd ftd;
        QVERIFY(ftd.openDevice(0, Direct));
        QSignalSpy readyRead(&ftd, &Ftd::readyRead);
        sim->resetStatistics();

        QElapsedTimer timer;
        timer.start();
        std::unique_ptr<QThread> sender;
        if (source == Queued)
            device.send("q");
        else if (source == TimedArrival)
            device.sendAfter(minimumMs, "t");
        else if (source == LeavesBus)
            device.leaveBusAfter(minimumMs, -1);
        else if (source == OtherThread)
            sender.reset(QThread::create([&device] {
                QThread::msleep(20);
                device.send("o");
            }));
        if (sender)
            sender->start();

        QCOMPARE(ftd.waitForReadyRead(limit), expected);
        QVERIFY(timer.nsecsElapsed() >= minimumMs * 1000000LL);
        QCOMPARE(readyRead.count(), expected ? 1 : 0);
        // bytesAvailable() asks once; polling asks again until the deadline. (With data on its
        // way the path taken depends on when it arrives.)
        if (source == Silent)
            QCOMPARE(sim->calls(Call::GetQueueStatus) > 1, polls);
        if (sender)
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

        SimDriverGuard sim(1);
        Ftd ftd;
        QVERIFY(ftd.openDevice(0, Direct));
        const QByteArray sent = QByteArray("0123456789").left(queued);
        sim->device(0).send(sent);
        sim->resetStatistics();

        char buffer[16];
        QCOMPARE(ftd.read(buffer, maxSize), qint64(expected));
        QCOMPARE(QByteArray(buffer, expected), sent.left(expected));
        // Nothing queued: no read that could wait for data.
        QCOMPARE(sim->calls(Call::Read), expected ? 1 : 0);
        QCOMPARE(sim->overlongReads(), 0);
        QCOMPARE(ftd.bytesAvailable(), qint64(queued - expected));
    }

    void bufferedChannel()
    {
        SimDriverGuard sim(1);
        Ftd ftd;
        QVERIFY(ftd.openDevice(0, QIODevice::ReadWrite));
        sim->device(0).send("0123456789");
        QCOMPARE(ftd.read(4), QByteArray("0123"));
        // The rest sits in the channel's buffer, not in the device queue.
        QCOMPARE(ftd.bytesAvailable(), qint64(6));
        sim->device(0).send("abc");
        QCOMPARE(ftd.bytesAvailable(), qint64(9));
        QVERIFY(ftd.reset());
        QCOMPARE(ftd.bytesAvailable(), qint64(0));
        QCOMPARE(ftd.read(16), QByteArray());
    }

    void writeData()
    {
        ScriptedDeviceEnd end;
        SimDriverGuard sim;
        sim->addProgrammer(&end);
        sim->addProgrammer();
        Ftd ftd;
        QVERIFY(ftd.openDevice(0, Direct));
        sim->resetStatistics();
        QCOMPARE(ftd.write("", 0), qint64(0));
        QCOMPARE(sim->totalCalls(), 0);

        QCOMPARE(ftd.write("hello"), qint64(5));
        QCOMPARE(end.written(), QByteArray("hello"));
        QCOMPARE(sim->calls(Call::Write), 1);

        // A device without firmware behind its bridge takes the bytes all the same.
        QVERIFY(ftd.openDevice(1, Direct));
        QCOMPARE(ftd.write("lost"), qint64(4));
    }

    void reopenReleasesTheHeldDevice()
    {
        ScriptedDeviceEnd end;
        SimDriverGuard sim;
        sim->addProgrammer(&end);
        Ftd ftd;
        Ftd other;
        QVERIFY(ftd.openDevice(0, Direct));
        QVERIFY(!other.openDevice(0, Direct));
        QCOMPARE(other.errorString(), QString("ftd2xx: Device not opened"));

        QSignalSpy aboutToClose(&ftd, &Ftd::aboutToClose);
        QVERIFY(ftd.openDevice(0, Direct));
        QCOMPARE(aboutToClose.count(), 1);
        QVERIFY(ftd.isOpen());
        QCOMPARE(ftd.write("x"), qint64(1));

        ftd.close();
        QVERIFY(!sim->device(0).isOpen());
        QVERIFY(other.openDevice(0, Direct));
    }

    void unplugIsReportedOnce()
    {
        SimDriverGuard sim(1);
        Ftd ftd;
        QVERIFY(ftd.openDevice(0, Direct));
        QSignalSpy finished(&ftd, &Ftd::readChannelFinished);
        QSignalSpy aboutToClose(&ftd, &Ftd::aboutToClose);
        sim->resetStatistics();

        sim->device(0).unplug();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 2000);
        QVERIFY(!ftd.isOpen());
        QCOMPARE(aboutToClose.count(), 1);
        QVERIFY(!ftd.errorString().startsWith("ftd2xx"));
        QCOMPARE(sim->calls(Call::Close), 1);

        // The closed channel leaves the device alone, even once it is back.
        sim->device(0).plug();
        QTest::qWait(600);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(sim->calls(Call::GetStatus), 1);
    }

    void failuresSetTheErrorText_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<int>("failingCall"); // -1: none injected
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("unplug");
        QTest::addColumn<QString>("text");

        QTest::newRow("open refused") << int(OpenOp) << int(Call::Open) << int(FtDeviceNotOpened)
                                      << false << "ftd2xx: Device not opened";
        QTest::newRow("unknown status")
            << int(ReadOp) << int(Call::Read) << 42 << false << "ftd2xx: Unknown error #42";
        QTest::newRow("read after unplug") << int(ReadOp) << -1 << 0 << true << "ftd2xx: Io Error";
        QTest::newRow("write fails")
            << int(WriteOp) << int(Call::Write) << int(FtFailedToWriteDevice) << false
            << "ftd2xx: Failed to write device";
        QTest::newRow("latency beyond 8 bits")
            << int(LatencyOp) << -1 << 0 << false << "ftd2xx: Invalid parameter";
    }

    void failuresSetTheErrorText()
    {
        QFETCH(int, operation);
        QFETCH(int, failingCall);
        QFETCH(int, status);
        QFETCH(bool, unplug);
        QFETCH(QString, text);

        SimDriverGuard sim(1);
        Ftd ftd;
        QSignalSpy error(&ftd, &Ftd::error);
        if (operation != OpenOp) {
            QVERIFY(ftd.openDevice(0, Direct));
            sim->device(0).send("abc");
        }
        if (failingCall >= 0)
            sim->failNextCalls(Call(failingCall), status);
        if (unplug)
            sim->device(0).unplug();

        char buffer[4];
        switch (operation) {
        case OpenOp:
            QVERIFY(!ftd.openDevice(0, Direct));
            break;
        case ReadOp:
            QCOMPARE(ftd.read(buffer, 3), qint64(-1));
            break;
        case WriteOp:
            QCOMPARE(ftd.write("abc"), qint64(-1));
            break;
        case LatencyOp:
            QVERIFY(!ftd.setLatencyTimer(258)); // beyond 8 bits
            break;
        }
        QCOMPARE(ftd.errorString(), text);
        QCOMPARE(error.count(), 1);
        QCOMPARE(error.at(0).at(0).toString(), text);
    }

    void deviceList()
    {
        SimDriverGuard sim;
        QVERIFY(Ftd::deviceList().isEmpty());
        QCOMPARE(sim->calls(Call::CreateDeviceInfoList), 1);
        QCOMPARE(sim->totalCalls(), 1);

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
            QCOMPARE(devices[i].description().size(), 64);
            QCOMPARE(devices[i].serialNumber().size(), 16);
        }
        QCOMPARE(QByteArray(devices[0].description().constData()),
                 QByteArray(SimDriver::ProgrammerDescription));
        QCOMPARE(QByteArray(devices[1].description().constData()), QByteArray("FT232R USB UART"));
        QVERIFY(devices[0].serialNumber() != devices[1].serialNumber());
        QVERIFY(!devices[1].isOpened());
        QVERIFY(devices[2].isOpened());
        QCOMPARE(devices[2].description(), QByteArray(64, '\0'));
        QCOMPARE(devices[2].serialNumber(), QByteArray(16, '\0'));

        FtdDeviceInfo none;
        QCOMPARE(none.index(), -1);
        QVERIFY(!none.isOpened() && none.description().isEmpty() && none.serialNumber().isEmpty());
        FtdDeviceInfo copy(devices[2]);
        copy = devices[0];
        QCOMPARE(copy.index(), 0);
        QCOMPARE(copy.description(), devices[0].description());
    }

    void watchNeverOverlapsATransfer()
    {
        SimDriverGuard sim(1);
        // Each 2000-byte write takes 100 ms on the wire; writes go on until the watch has run
        // twice. The short pause between writes lets the watch take the channel's mutex.
        sim->device(0).setRate(20000);
        Ftd ftd;
        QVERIFY(ftd.openDevice(0, Direct));
        sim->resetStatistics();

        bool allWritten = true;
        std::unique_ptr<QThread> worker(QThread::create([&] {
            const QByteArray block(2000, 'b');
            QElapsedTimer timer;
            timer.start();
            while (sim->calls(Call::GetStatus) < 2 && timer.elapsed() < 10000) {
                allWritten = allWritten && ftd.write(block) == block.size();
                QThread::msleep(1);
            }
        }));
        worker->start();
        QTRY_VERIFY_WITH_TIMEOUT(worker->isFinished(), 12000);
        QVERIFY(allWritten);
        QVERIFY(sim->calls(Call::GetStatus) >= 2);
        QCOMPARE(sim->maxOverlap(), 1);
    }

    void readyReadReceiverMayReadTheChannel()
    {
        SimDriverGuard sim(1);
        Ftd ftd;
        QVERIFY(ftd.openDevice(0, Direct));
        QByteArray received;
        connect(&ftd, &Ftd::readyRead, &ftd, [&] { received += ftd.readAll(); });
        sim->device(0).send("ping");
        // The watch finds the bytes and announces them; the receiver reads them at once.
        QTRY_COMPARE_WITH_TIMEOUT(received, QByteArray("ping"), 2000);
    }

    // A wait for bytes goes on while they keep coming and ends at the first silence.
    void waitForBytesWhileTheyCome()
    {
        SimDriverGuard sim(1);
        Ftd ftd;
        QVERIFY(ftd.openDevice(0, Direct));
        sim->device(0).send("ab");
        sim->device(0).sendAfter(30, "cd");
        sim->device(0).sendAfter(60, "ef");
        QVERIFY(ftd.waitForBytes(8, 50));
        QCOMPARE(ftd.bytesAvailable(), qint64(6));
    }

    void linkPacing_data()
    {
        QTest::addColumn<int>("arrivalDelay");
        QTest::addColumn<int>("byteInterval");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("minimumMs");

        // Half the bytes are sent 20 ms late, the rest right away behind them.
        QTest::newRow("arrival delay") << 30 << 0 << 0 << 100 << 50;
        QTest::newRow("byte interval") << 0 << 10 << 0 << 5 << 70;
        QTest::newRow("rate") << 0 << 0 << 10000 << 500 << 70;
    }

    void linkPacing()
    {
        QFETCH(int, arrivalDelay);
        QFETCH(int, byteInterval);
        QFETCH(int, rate);
        QFETCH(int, size);
        QFETCH(int, minimumMs);

        SimDriverGuard sim(1);
        SimDevice &device = sim->device(0);
        device.setArrivalDelay(arrivalDelay);
        device.setByteInterval(byteInterval);
        device.setRate(rate);
        Ftd ftd;
        QVERIFY(ftd.openDevice(0, Direct));
        const QByteArray bytes = pattern(size);

        QElapsedTimer timer;
        timer.start();
        // The later send queues behind the delayed one: the link keeps order.
        device.sendAfter(20, bytes.left(size / 2));
        device.send(bytes.mid(size / 2));
        QCOMPARE(readBytes(ftd, size), bytes);
        QVERIFY(timer.elapsed() >= minimumMs);
    }

    void throttledWriteStopsAtTheTimeout()
    {
        SimDriver driver(1);
        driver.device(0).setRate(10000);
        FtHandle handle = openHandle(driver, 0);
        QVERIFY(handle);
        QCOMPARE(driver.setTimeouts(handle, 1, 50), int(FtOk));
        // 50 ms at 10000 bytes per second: the host gets the short count.
        const QByteArray data(2000, 'w');
        quint32 written = 0;
        QCOMPARE(driver.write(handle, data.constData(), 2000, &written), int(FtOk));
        QCOMPARE(written, 500u);
        // A device that takes nothing for a while (its chip is busy) gets nothing either.
        driver.device(0).holdInput(SimDevice::Clock::now() + std::chrono::seconds(1));
        QCOMPARE(driver.write(handle, data.constData(), 10, &written), int(FtOk));
        QCOMPARE(written, 0u);
    }

    // A bridge with packets: a partly filled packet waits for the latency timer, an unread
    // host queue stalls the device, and a purge drops only what the bridge holds.
    void strictLink()
    {
        SimDriverGuard sim(1);
        SimDevice &device = sim->device(0);
        device.setPacketSize(512);
        Ftd ftd;
        QVERIFY(ftd.openDevice(0, Direct));
        QVERIFY(ftd.setLatencyTimer(200));
        QElapsedTimer timer;
        timer.start();
        device.send(pattern(700));
        QTRY_COMPARE_WITH_TIMEOUT(ftd.bytesAvailable(), qint64(512), 150);
        QCOMPARE(readBytes(ftd, 700), pattern(700));
        QVERIFY(timer.elapsed() >= 200);

        const QByteArray stream = pattern(200000, 1);
        device.send(stream);
        QTRY_COMPARE(ftd.bytesAvailable(), SimDevice::HostQueueBytes);
        ftd.purge();
        const qint64 dropped = SimDevice::HostQueueBytes + 2 * 512;
        QCOMPARE(readBytes(ftd, int(stream.size() - dropped)), stream.mid(dropped));
    }

    void busEvents()
    {
        ScriptedDeviceEnd end;
        end.leaveBusOn("bye", 30);
        SimDriver driver;
        driver.addProgrammer(&end);
        SimDevice &device = driver.device(0);
        FtHandle handle = openHandle(driver, 0);
        QVERIFY(handle);
        QCOMPARE(end.resyncCount(), 1);

        device.unplug();
        quint32 count = 0, tx = 0, events = 0;
        char buffer[4];
        QCOMPARE(driver.getStatus(handle, &count, &tx, &events), int(FtIoError));
        QCOMPARE(driver.getQueueStatus(handle, &count), int(FtIoError));
        QCOMPARE(driver.read(handle, buffer, 1, &count), int(FtIoError));
        QCOMPARE(driver.write(handle, "x", 1, &count), int(FtIoError));
        QCOMPARE(driver.createDeviceInfoList(&count), int(FtOk));
        QCOMPARE(count, 0u);
        QVERIFY(!openHandle(driver, 0));

        device.plug();
        QCOMPARE(end.attachedCount(), 1);
        // The handle from before the unplug stays dead; a new open works.
        QCOMPARE(driver.getQueueStatus(handle, &count), int(FtIoError));
        QCOMPARE(driver.close(handle), int(FtOk));
        handle = openHandle(driver, 0);
        QVERIFY(handle);

        // The firmware leaves the bus by itself and comes back 30 ms later.
        QCOMPARE(driver.write(handle, "bye", 3, &count), int(FtOk));
        QVERIFY(!device.isPlugged());
        QTRY_VERIFY_WITH_TIMEOUT(end.attachedCount() == 2, 1000);
        QVERIFY(device.isPlugged());
        QVERIFY(!device.isOpen());
    }

    void purgeAndResync()
    {
        ScriptedDeviceEnd end;
        SimDriverGuard sim;
        sim->addProgrammer(&end);
        Ftd ftd;
        QVERIFY(ftd.openDevice(0, Direct));
        QCOMPARE(sim->device(0).latencyTimer(), quint8(16));
        QVERIFY(ftd.setLatencyTimer(2));
        QCOMPARE(sim->device(0).latencyTimer(), quint8(2));

        // Only what has arrived is dropped; what is still on its way arrives afterwards, and the
        // device behind the bridge is not told.
        sim->device(0).send("old");
        sim->device(0).sendAfter(30, "new");
        const int resyncs = end.resyncCount();
        ftd.purge();
        QCOMPARE(end.resyncCount(), resyncs);
        QCOMPARE(ftd.bytesAvailable(), qint64(0));
        QCOMPARE(readBytes(ftd, 3), QByteArray("new"));
    }

    void queueKeepsBytesAcrossChunks()
    {
        SimDriver driver(1);
        FtHandle handle = openHandle(driver, 0);
        QVERIFY(handle);
        QByteArray sent;
        for (int size : {1000, 1, 70000, 13}) {
            sent += pattern(size, sent.size());
            driver.device(0).send(sent.right(size));
        }
        QByteArray received;
        quint32 count = 0;
        char piece[777];
        while (driver.read(handle, piece, sizeof piece, &count) == FtOk && count > 0)
            received.append(piece, count);
        QCOMPARE(received, sent);
    }
};

QTEST_GUILESS_MAIN(TestUsb)
#include "tst_usb.moc"
