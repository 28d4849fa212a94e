#include "usb/autoresetevent.h"
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
#include <utility>

// The USB reader against a scripted byte source, and the parts of the real driver that the
// emulated bridge does not reach: open failures, multi-port sysfs paths and foreign handles.
namespace {

// Limit for waits on things that happen at once; only a fault runs into it.
constexpr int WaitLimitMs = 5000;

// A device that sends what the test scripts: bursts, failed reads, and held bursts that keep
// the reader inside the read until the test releases it. An unscripted read ends empty after
// 2 ms, as a chip sends an empty packet whenever its latency timer expires. It records the
// sizes the reader asked for and the flushes (with DuringReceive set for one made while a read
// was in progress).
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
        holding = false;
        changed.wakeAll();
    }

    int receive(quint8 *buffer, int size) override
    {
        QMutexLocker locker(&mutex);
        inReceive = true;
        sizes.append(size);
        if (script.empty())
            changed.wait(&mutex, 2);
        int result = 0;
        if (!script.empty()) {
            Step &step = script.front();
            holding = std::exchange(step.held, false);
            changed.wakeAll();
            while (holding)
                changed.wait(&mutex);
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
        flushes.append(mask | (inReceive ? DuringReceive : 0));
        return 0;
    }

    // Read only while holding `mutex`.
    QMutex mutex;
    QList<int> sizes;
    QList<quint32> flushes;
    static constexpr quint32 DuringReceive = 0x100;

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
    qsizetype reads()
    {
        QMutexLocker locker(&source.mutex);
        return source.sizes.size();
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
    void readFailures_data()
    {
        QTest::addColumn<QList<int>>("errors");
        QTest::addColumn<bool>("lost");
        // Between the bursts "ab" and "ef" come these errors, with a burst "cd" for each 0.
        QTest::newRow("persistent I/O error")
            << QList<int>(UsbReader::MaxConsecutiveFailures, -1) << true;
        QTest::newRow("time-out and transient errors")
            << QList<int>{-7, 0, -1, -1, -1, -1, 0, -9} << false;
    }
    void readFailures()
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
        // Reads that bring nothing are no failures.
        for (int i = 0; i < UsbReader::MaxConsecutiveFailures; ++i)
            rig.source.add(QByteArray());
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
        QCOMPARE(rig.reader.purge(FtPurgeTx), 0);
        QCOMPARE(rig.queued(), 3);
        // A burst that is arriving when the purge is asked for is dropped too, and the device
        // is not flushed in the middle of the read.
        QVERIFY(rig.whileReceiving("arriving", [&] { rig.reader.purge(FtPurgeRx); }));
        QCOMPARE(rig.queued(), 0);
        rig.source.add("new");
        QVERIFY(rig.waitForQueued(3));
        QCOMPARE(rig.take(10), QByteArray("new"));

        QMutexLocker locker(&rig.source.mutex);
        QCOMPARE(rig.source.flushes, QList<quint32>({FtPurgeTx, FtPurgeRx}));
    }

    void stopInTaskKeepsQueuedBytes()
    {
        Rig rig;
        rig.source.add("ab");
        QVERIFY(rig.waitForQueued(2));
        // Stopping while a burst is on its way keeps that burst, then reads no more.
        QVERIFY(rig.whileReceiving("cd", [&] { rig.reader.pause(); }));
        const qsizetype readsBeforeStop = rig.reads();
        rig.source.add("ef");
        // This read waits out its time-out; a reader that went on would bring "ef" meanwhile.
        QCOMPARE(rig.take(6, 20), QByteArray("abcd"));
        QCOMPARE(rig.reads(), readsBeforeStop);
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

    void openResultsMapToStatuses()
    {
        // Opened; no access to the device node; another program claimed it; reset failed.
        const std::pair<int, int> cases[] = {
            {0, FtOk}, {-4, FtDeviceNotOpened}, {-5, FtDeviceNotOpened}, {-6, FtIoError}};
        for (const auto &[result, status] : cases)
            QCOMPARE(ftStatusFromOpenResult(result), status);
    }

    void sysfsShowsWhoHoldsAnInterface_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("configuration");
        QTest::addColumn<QString>("driver");
        QTest::newRow("claimed by a program") << "3-1.4" << 1 << "usbfs";
        QTest::newRow("other configuration") << "3-1.4" << 2 << "";
        QTest::newRow("another device") << "3-1" << 1 << "";
    }
    void sysfsShowsWhoHoldsAnInterface()
    {
        QFETCH(QString, device);
        QFETCH(int, configuration);
        // The tree holds `device` in `configuration`, with usbfs bound to interface 0 of
        // configuration 1; asked about is bus 3, hub port 1, port 4.
        QTemporaryDir sysfs;
        const QDir root(sysfs.path());
        QVERIFY(root.mkpath(device) && root.mkpath(device + ":1.0") &&
                root.mkpath("drivers/usbfs"));
        QFile value(root.filePath(device + "/bConfigurationValue"));
        QVERIFY(value.open(QIODevice::WriteOnly));
        value.write(QByteArray::number(configuration) + '\n');
        value.close();
        QVERIFY(QFile::link(root.filePath("drivers/usbfs"), root.filePath(device + ":1.0/driver")));
        QTEST(usbInterfaceDriver(sysfs.path(), 3, {1, 4}, 0), "driver");
    }

    void realDriverRefusesForeignHandles()
    {
        FtdiDriver &driver = usbFtdiDriver();
        int unrelated = 0;
        quint32 rx = 1, tx = 1, events = 1;
        QCOMPARE(driver.getStatus(&unrelated, &rx, &tx, &events), int(FtInvalidHandle));
        QCOMPARE(driver.close(&unrelated), int(FtInvalidHandle));
    }
};

QTEST_GUILESS_MAIN(TestUsbDriver)
#include "tst_usbdriver.moc"
