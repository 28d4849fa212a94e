#include "usb/autoresetevent.h"
#include "usb/ftd.h"
#include "usb/ftdidriver.h"
#include "usb/usbbytesource.h"
#include "usb/usbreader.h"
#include "usb/usbstatus.h"
#include "usb/usbsysfs.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <deque>
#include <thread>

namespace {

// Limit for waits on things that happen at once; only a fault runs into it.
constexpr int WaitLimitMs = 5000;
// An unscripted read ends empty after this long, as a chip sends an empty packet whenever its
// latency timer expires.
constexpr int IdleReadMs = 2;

// A device that sends what the test scripts: bursts, errors, and held bursts that keep the
// reader inside the read until the test releases it. It records what the reader asked of it.
class ScriptedSource final : public UsbByteSource
{
public:
    void add(const QByteArray &bytes, int error = 0, bool held = false)
    {
        QMutexLocker locker(&mutex);
        script.push_back({bytes, error, held});
        changed.wakeAll();
    }
    bool waitUntilHeld()
    {
        QMutexLocker locker(&mutex);
        const QDeadlineTimer deadline(WaitLimitMs);
        while (!holding && changed.wait(&mutex, deadline)) {
        }
        return holding;
    }
    void release()
    {
        QMutexLocker locker(&mutex);
        released = true;
        changed.wakeAll();
    }

    int receive(quint8 *buffer, int size) override
    {
        QMutexLocker locker(&mutex);
        inReceive = true;
        sizes.append(size);
        if (script.empty())
            changed.wait(&mutex, IdleReadMs);
        int result = 0;
        if (!script.empty()) {
            Step &step = script.front();
            holding = step.held;
            changed.wakeAll();
            while (holding && !released)
                changed.wait(&mutex);
            holding = released = step.held = false;
            result = step.error ? step.error : int(qMin<qsizetype>(size, step.bytes.size()));
            if (result > 0)
                std::memcpy(buffer, step.bytes.constData(), size_t(result));
            step.bytes.remove(0, qMax(0, result));
            if (step.error || step.bytes.isEmpty())
                script.pop_front();
        }
        inReceive = false;
        return result;
    }
    int flush(quint32 mask) override
    {
        QMutexLocker locker(&mutex);
        flushes.append(mask);
        flushedDuringReceive |= inReceive;
        return 0;
    }

    // Read only while holding `mutex`.
    QMutex mutex;
    QList<int> sizes;
    QList<quint32> flushes;
    bool flushedDuringReceive = false;

private:
    struct Step
    {
        QByteArray bytes;
        int error;
        bool held;
    };
    QWaitCondition changed;
    std::deque<Step> script;
    bool inReceive = false;
    bool holding = false;
    bool released = false;
};

// A reader on a scripted source, with its received-character event.
struct Rig
{
    explicit Rig(int capacity = UsbReader::DefaultCapacity) : reader(source, capacity)
    {
        reader.setEvent(&event);
    }
    // Waits on the event until `done` holds.
    bool waitUntil(const std::function<bool()> &done)
    {
        const QDeadlineTimer deadline(WaitLimitMs);
        while (!done()) {
            if (!event.wait(int(deadline.remainingTime())))
                return false;
        }
        return true;
    }
    bool waitForQueued(qint64 count)
    {
        return waitUntil([this, count] { return queued() >= count; });
    }
    // Queued bytes, -1 when the query fails.
    qint64 queued() const
    {
        quint32 count = 0;
        return reader.queueStatus(&count) == FtOk ? qint64(count) : -1;
    }
    // Reads up to `size` bytes, by default with the channel's 1 ms time-out.
    QByteArray take(int size, quint32 timeoutMs = 1)
    {
        QByteArray bytes(size, '\0');
        quint32 received = 0;
        if (reader.read(bytes.data(), quint32(size), timeoutMs, &received) != FtOk)
            return "<failed>";
        bytes.truncate(int(received));
        return bytes;
    }
    // Runs `action` while the reader is inside a held burst of `bytes`, which another thread
    // releases meanwhile.
    bool whileReceiving(const QByteArray &bytes, const std::function<void()> &action)
    {
        source.add(bytes, 0, true);
        if (!source.waitUntilHeld())
            return false;
        std::thread device([this] { source.release(); });
        action();
        device.join();
        return true;
    }

    ScriptedSource source;
    AutoResetEvent event;
    UsbReader reader;
};

} // namespace

class TestUsbDriver : public QObject
{
    Q_OBJECT

private slots:
    void queuesBurstsInOrder()
    {
        Rig rig;
        rig.source.add("abc");
        rig.source.add(""); // a zero-length read between bursts
        rig.source.add("defg");
        QVERIFY(rig.waitForQueued(7));
        QCOMPARE(rig.take(2), QByteArray("ab"));
        // Asking for more than is queued returns what is queued once the time-out has passed.
        QCOMPARE(rig.take(10), QByteArray("cdefg"));
        QCOMPARE(rig.queued(), 0);

        // A read waits, within its time-out, for bytes still on their way.
        QByteArray late;
        QVERIFY(rig.whileReceiving("hijk", [&] { late = rig.take(4, WaitLimitMs); }));
        QCOMPARE(late, QByteArray("hijk"));
    }

    void readFailuresMarkDeviceLost_data()
    {
        QTest::addColumn<QList<int>>("errors");
        QTest::addColumn<bool>("lost");
        // Between the bursts "ab" and "ef" come these errors, with a burst "cd" for each 0.
        QTest::newRow("unplugged mid-transfer") << QList<int>{UsbErrorNoDevice} << true;
        QTest::newRow("persistent I/O error")
            << QList<int>(UsbReader::MaxConsecutiveFailures, -1) << true;
        QTest::newRow("time-out and transient errors")
            << QList<int>{-7, 0, -1, -1, -1, -1, 0, -9} << false;
    }
    void readFailuresMarkDeviceLost()
    {
        QFETCH(QList<int>, errors);
        QFETCH(bool, lost);
        Rig rig;
        QByteArray sent = "ab";
        rig.source.add("ab");
        for (int error : errors) {
            rig.source.add(error ? QByteArray() : "cd", error);
            sent += error ? "" : "cd";
        }
        rig.source.add("ef");
        sent += "ef";

        if (lost) {
            // Waiters are woken, and the queue fails from then on.
            QVERIFY(rig.waitUntil([&rig] { return rig.reader.isLost(); }));
            QCOMPARE(rig.take(1), QByteArray("<failed>"));
            QCOMPARE(rig.queued(), -1);
        } else {
            QVERIFY(rig.waitForQueued(sent.size()));
            QCOMPARE(rig.take(100), sent);
            QVERIFY(!rig.reader.isLost());
        }
    }

    void purgeDropsEverythingReceivedBeforeIt()
    {
        Rig rig;
        rig.source.add("old");
        QVERIFY(rig.waitForQueued(3));
        // A burst that is arriving when the purge is asked for is dropped too, and the device
        // is not flushed in the middle of the read.
        QVERIFY(rig.whileReceiving("arriving", [&] { rig.reader.purge(FtPurgeRx | FtPurgeTx); }));
        QCOMPARE(rig.queued(), 0);
        rig.source.add("new");
        QVERIFY(rig.waitForQueued(3));
        QCOMPARE(rig.take(10), QByteArray("new"));

        QMutexLocker locker(&rig.source.mutex);
        QCOMPARE(rig.source.flushes, QList<quint32>{FtPurgeRx | FtPurgeTx});
        QVERIFY(!rig.source.flushedDuringReceive);
    }

    void stopInTaskKeepsQueuedBytes()
    {
        Rig rig;
        rig.source.add("ab");
        QVERIFY(rig.waitForQueued(2));
        // Stopping while a burst is on its way keeps that burst, then reads no more.
        QVERIFY(rig.whileReceiving("cd", [&] { rig.reader.pause(); }));
        QMutexLocker locker(&rig.source.mutex);
        const qsizetype readsBeforeStop = rig.source.sizes.size();
        locker.unlock();
        rig.source.add("ef");
        // This read waits out its time-out; a reader that went on would bring "ef" meanwhile.
        QCOMPARE(rig.take(6, 20), QByteArray("abcd"));
        locker.relock();
        QCOMPARE(rig.source.sizes.size(), readsBeforeStop);
    }

    void fullQueueLeavesBytesWithTheDevice()
    {
        constexpr int Capacity = 8;
        Rig rig(Capacity);
        const QByteArray sent = "0123456789abcdefghij";
        rig.source.add(sent);
        QByteArray received;
        while (received.size() < sent.size()) {
            QVERIFY(rig.waitForQueued(qMin(Capacity, sent.size() - received.size())));
            QVERIFY(rig.queued() <= Capacity);
            received += rig.take(Capacity);
        }
        QCOMPARE(received, sent);
        QMutexLocker locker(&rig.source.mutex);
        // A full queue makes the reader wait, not read nothing over and over.
        QVERIFY(!rig.source.sizes.contains(0));
    }

    void openResultsMapToStatuses_data()
    {
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("status");
        QTest::newRow("opened") << 0 << int(FtOk);
        QTest::newRow("no access to the device node") << -4 << int(FtDeviceNotOpened);
        QTest::newRow("another program claimed it") << -5 << int(FtDeviceNotOpened);
        QTest::newRow("reset failed") << -6 << int(FtIoError);
    }
    void openResultsMapToStatuses()
    {
        QFETCH(int, result);
        QTEST(ftStatusFromOpenResult(result), "status");
    }

    void sysfsShowsWhoHoldsAnInterface_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("configuration");
        QTest::addColumn<QString>("driver");
        QTest::addColumn<bool>("shown");
        QTest::newRow("claimed by a program") << "3-1.4" << 1 << "usbfs" << true;
        QTest::newRow("nothing bound") << "3-1.4" << 1 << "" << true;
        QTest::newRow("not configured") << "3-1.4" << 0 << "usbfs" << false;
        QTest::newRow("other configuration") << "3-1.4" << 2 << "usbfs" << false;
        QTest::newRow("another device") << "3-1" << 1 << "usbfs" << false;
    }
    void sysfsShowsWhoHoldsAnInterface()
    {
        QFETCH(QString, device);
        QFETCH(int, configuration);
        QFETCH(QString, driver);
        QFETCH(bool, shown);
        // The tree holds `device` in `configuration` (0: none), with `driver` bound to
        // interface 0 of configuration 1; asked about is bus 3, hub port 1, port 4.
        QTemporaryDir sysfs;
        const QDir root(sysfs.path());
        QVERIFY(root.mkpath(device) && root.mkpath(device + ":1.0"));
        QFile value(root.filePath(device + "/bConfigurationValue"));
        QVERIFY(value.open(QIODevice::WriteOnly));
        value.write(configuration ? QByteArray::number(configuration) + '\n' : "\n");
        value.close();
        if (!driver.isEmpty()) {
            QVERIFY(root.mkpath("drivers/" + driver));
            QVERIFY(QFile::link(root.filePath("drivers/" + driver),
                                root.filePath(device + ":1.0/driver")));
        }
        QCOMPARE(usbInterfaceDriver(sysfs.path(), 3, {1, 4}, 0), shown ? driver : QString());
    }

    void usbDriverWithoutDevices()
    {
        // This machine has no FTDI device: the real driver lists none and opens none.
        FtdiDriver &driver = usbFtdiDriver();
        quint32 count = 99;
        QCOMPARE(driver.createDeviceInfoList(&count), int(FtOk));
        QCOMPARE(count, 0u);
        FtDeviceListInfoNode node;
        count = 1;
        QCOMPARE(driver.getDeviceInfoList(&node, &count), int(FtOk));
        QCOMPARE(count, 0u);
        FtHandle handle = nullptr;
        QCOMPARE(driver.open(0, &handle), int(FtDeviceNotFound));
        QVERIFY(!handle);
        // A handle the driver never gave out is refused, not followed.
        int unrelated = 0;
        quint32 rx = 1, tx = 1, events = 1;
        QCOMPARE(driver.getStatus(&unrelated, &rx, &tx, &events), int(FtInvalidHandle));
        QCOMPARE(driver.close(&unrelated), int(FtInvalidHandle));

        FtdiDriver::setInstance(&driver);
        QVERIFY(Ftd::deviceList().isEmpty());
        Ftd channel;
        QVERIFY(!channel.openDevice(0, QIODevice::ReadWrite));
        FtdiDriver::setInstance(nullptr);
    }
};

QTEST_GUILESS_MAIN(TestUsbDriver)
#include "tst_usbdriver.moc"
