#include "support/countingdriver.h"
#include "usb/ftd.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

using Call = CountingDriver::Call;

namespace {

constexpr QIODevice::OpenMode Direct = QIODevice::ReadWrite | QIODevice::Unbuffered;

// Bytes without a period, so that a stream read from the wrong place never matches.
QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
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

// The device behind the bridge, counting how often the host resynchronised it.
struct ResyncCounter : SimDeviceEnd
{
    int resyncs = 0;
    void received(const char *, qint64, SimHostLink &) override {}
    void resync() override { ++resyncs; }
};

// A channel on the first of the driver's devices; `end`, when given, is behind its bridge.
struct Rig
{
    explicit Rig(QIODevice::OpenMode mode = Direct, SimDeviceEnd *end = nullptr)
    {
        sim.addProgrammer(end);
        ftd.openDevice(0, mode);
    }
    SimDevice &device() { return sim.device(0); }

    SimDriver sim;
    CountingDriver driver{sim};
    Ftd ftd;
};

} // namespace

class TestUsb : public QObject
{
    Q_OBJECT

private slots:
    void waitForReadyRead_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<bool>("polls");
        // When a timed arrival or leave comes; the wait cannot end earlier.
        QTest::addColumn<int>("minimumMs");
        const auto row = [](const char *name, int limit, const char *source, bool expected,
                            bool polls, int minimumMs) {
            QTest::newRow(name) << limit << QByteArray(source) << expected << polls << minimumMs;
        };
        row("18 ms polls to the deadline", 18, "silent", false, true, 18);
        row("18 ms poll sees a late byte", 18, "timed", true, true, 1);
        row("19 ms waits on the event", 19, "silent", false, false, 19);
        row("event brings a late byte", 200, "timed", true, false, 5);
        row("0 only tests the event", 0, "silent", false, false, 0);
        row("queued bytes are ready at once", 19, "queued", true, false, 0);
        row("no limit, a late byte", -5, "timed", true, false, 20);
        row("no limit, device leaves the bus", -5, "leaves", false, false, 50);
    }

    void waitForReadyRead()
    {
        QFETCH(int, limit);
        QFETCH(QByteArray, source);
        QFETCH(int, minimumMs);
        Rig rig;
        QSignalSpy readyRead(&rig.ftd, &Ftd::readyRead);
        QElapsedTimer timer;
        timer.start();
        if (source == "queued")
            rig.device().send("q");
        else if (source == "timed")
            rig.device().sendAfter(minimumMs, "t");
        else if (source == "leaves")
            rig.device().leaveBusAfter(minimumMs, -1);
        const bool ready = rig.ftd.waitForReadyRead(limit);
        QTEST(ready, "expected");
        QVERIFY(timer.nsecsElapsed() >= minimumMs * 1000000LL);
        QCOMPARE(readyRead.count(), ready ? 1 : 0);
        // bytesAvailable() asks once, polling again until the deadline.
        if (source == "silent")
            QTEST(rig.driver.calls(Call::GetQueueStatus) > 1, "polls");
    }

    // A read asks the driver for no more than is queued, so it never waits for data; what the
    // channel's own buffer holds counts as available too.
    void readTakesOnlyWhatIsQueued()
    {
        for (const auto &[queued, asked] : {std::pair(10, 4), {3, 10}, {0, 4}}) {
            Rig rig;
            rig.device().send(QByteArray("0123456789").left(queued));
            char buffer[16];
            const int expected = qMin(queued, asked);
            QCOMPARE(rig.ftd.read(buffer, asked), qint64(expected));
            QCOMPARE(rig.driver.calls(Call::Read), expected ? 1 : 0);
            QCOMPARE(rig.driver.overlongReads(), 0);
            QCOMPARE(rig.ftd.bytesAvailable(), qint64(queued - expected));
        }
        Rig rig(QIODevice::ReadWrite);
        rig.device().send("0123456789");
        QCOMPARE(rig.ftd.read(4), QByteArray("0123"));
        rig.device().send("abc");
        QCOMPARE(rig.ftd.bytesAvailable(), qint64(9));
        QVERIFY(rig.ftd.reset());
        QCOMPARE(rig.ftd.read(16), QByteArray());
    }

    // The watch announces received bytes (its receiver may read the channel) and closes the
    // channel when the device is unplugged.
    void watchAnnouncesBytesAndUnplug()
    {
        Rig rig;
        QByteArray received;
        connect(&rig.ftd, &Ftd::readyRead, &rig.ftd, [&] { received += rig.ftd.readAll(); });
        rig.device().send("p");
        QTRY_COMPARE_WITH_TIMEOUT(received, QByteArray("p"), 2000);
        QSignalSpy finished(&rig.ftd, &Ftd::readChannelFinished);
        rig.device().unplug();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 2000);
        QVERIFY(!rig.ftd.isOpen());
        QVERIFY(!rig.ftd.errorString().startsWith("ftd2xx"));
        QCOMPARE(rig.driver.calls(Call::Close), 1);
    }

    // Each failure sets the error text and emits error() once with it.
    void failuresSetTheErrorText()
    {
        Rig rig;
        QSignalSpy error(&rig.ftd, &Ftd::error);
        rig.driver.failNextCalls(Call::Write, FtFailedToWriteDevice);
        QCOMPARE(rig.ftd.write("abc"), qint64(-1));
        QVERIFY(!rig.ftd.setLatencyTimer(256)); // the chip takes 8 bits
        char buffer[4];
        rig.device().send("abc");
        rig.driver.failNextCalls(Call::Read, 42);
        QCOMPARE(rig.ftd.read(buffer, 3), qint64(-1));
        rig.device().unplug();
        QCOMPARE(rig.ftd.read(buffer, 3), qint64(-1));
        rig.driver.failNextCalls(Call::Open, FtDeviceNotOpened);
        QVERIFY(!rig.ftd.openDevice(0, Direct));
        QStringList texts;
        for (const QList<QVariant> &arguments : std::as_const(error))
            texts << arguments.at(0).toString();
        QCOMPARE(texts, QStringList({"ftd2xx: Failed to write device", "ftd2xx: Invalid parameter",
                                     "ftd2xx: Unknown error #42", "ftd2xx: Io Error",
                                     "ftd2xx: Device not opened"}));
        QCOMPARE(rig.ftd.errorString(), texts.last());
    }

    void deviceList()
    {
        SimDriver sim;
        const CountingDriver driver(sim);
        sim.addProgrammer();
        sim.addDevice("FT232R USB UART");
        sim.addProgrammer();
        sim.addProgrammer();
        sim.device(2).unplug();
        sim.device(3).setOpenedElsewhere(true);
        const QList<FtdDeviceInfo> devices = Ftd::deviceList();
        QCOMPARE(devices.size(), 3);
        for (int i = 0; i < devices.size(); ++i) {
            QCOMPARE(devices[i].index(), i);
            QCOMPARE(devices[i].isOpened(), i == 2);
        }
        QCOMPARE(QByteArray(devices[1].description().constData()), QByteArray("FT232R USB UART"));
        QCOMPARE(devices[2].serialNumber(), QByteArray(16, '\0'));
    }

    // A bridge with packets: a partly filled packet waits for the latency timer, an unread
    // host queue stalls the device, and a purge drops only what has arrived, without telling
    // the device behind the bridge.
    void strictLinkAndPurge()
    {
        ResyncCounter end;
        Rig rig(Direct, &end);
        SimDevice &device = rig.device();
        device.setPacketSize(512);
        QVERIFY(rig.ftd.setLatencyTimer(200));
        QElapsedTimer timer;
        timer.start();
        device.send(randomBytes(700, 1));
        QTRY_COMPARE_WITH_TIMEOUT(rig.ftd.bytesAvailable(), qint64(512), 150);
        QCOMPARE(readBytes(rig.ftd, 700), randomBytes(700, 1));
        QVERIFY(timer.elapsed() >= 200);

        const QByteArray stream = randomBytes(200000, 2);
        device.send(stream);
        QTRY_COMPARE(rig.ftd.bytesAvailable(), SimDevice::HostQueueBytes);
        rig.ftd.purge();
        QCOMPARE(end.resyncs, 1); // the open's only
        const qint64 dropped = SimDevice::HostQueueBytes + 2 * 512;
        QCOMPARE(readBytes(rig.ftd, int(stream.size() - dropped)), stream.mid(dropped));
    }
};

QTEST_GUILESS_MAIN(TestUsb)
#include "tst_usb.moc"
