#include "usb/autoresetevent.h"
#include "usb/ftdidriver.h"
#include "usb/usbbytesource.h"
#include "usb/usbreader.h"
#include "usb/usbsysfs.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <deque>
#include <thread>
#include <utility>

// The USB reader against a scripted byte source, and the parts of the real driver that the
// emulated bridge does not reach: sysfs paths through hubs, and foreign handles.
namespace {

// Limit for waits on things that happen at once; only a fault runs into it.
constexpr int WaitLimitMs = 5000;

// A reader and its received-character event on a device that sends what the test scripts:
// bursts, failed reads (negative codes) and a Held burst that keeps the reader in the read until
// released. An unscripted read ends empty after 2 ms, as a chip sends an empty packet whenever
// its latency timer expires. The device records the sizes asked for and the flushes.
struct Rig final : UsbByteSource
{
    static constexpr int Held = 1;

    explicit Rig(int capacity = UsbReader::DefaultCapacity) : reader(*this, capacity)
    {
        reader.setEvent(&event);
    }

    void add(const QByteArray &bytes, int error = 0)
    {
        QMutexLocker locker(&mutex);
        script.emplace_back(bytes, error);
        changed.wakeAll();
    }
    // Waits on the event until `count` bytes are queued, or with -1 until the device is lost.
    bool waitForQueued(qint64 count)
    {
        const QDeadlineTimer deadline(WaitLimitMs);
        while (count < 0 ? queued() >= 0 : queued() < count) {
            if (!event.wait(int(deadline.remainingTime())))
                return false;
        }
        return true;
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
        return bytes.left(int(received));
    }

    int receive(quint8 *buffer, int size) override
    {
        QMutexLocker locker(&mutex);
        sizes.append(size);
        if (script.empty())
            changed.wait(&mutex, 2);
        if (script.empty())
            return 0;
        if (script.front().second == Held) {
            script.front().second = 0;
            locker.unlock();
            holding.release();
            released.acquire();
            locker.relock();
        }
        auto &[bytes, error] = script.front();
        const int result = error ? error : int(qMin<qsizetype>(size, bytes.size()));
        std::memcpy(buffer, bytes.constData(), size_t(qMax(0, result)));
        bytes.remove(0, qMax(0, result));
        if (error || bytes.isEmpty())
            script.pop_front();
        return result;
    }
    int flush(quint32 mask) override
    {
        QMutexLocker locker(&mutex);
        flushes.append(mask);
        changed.wakeAll();
        return 0;
    }

    // The script and the records, used while holding `mutex`; `changed` is signalled when a step
    // is added and when the device is flushed.
    QMutex mutex;
    QWaitCondition changed;
    std::deque<std::pair<QByteArray, int>> script;
    QList<int> sizes;
    QList<quint32> flushes;
    AutoResetEvent event;
    // The reader has entered the held burst; it leaves once released.
    QSemaphore holding, released;
    // Last: it reads from the members above from its start to its end.
    UsbReader reader;
};

} // namespace

class TestUsbDriver : public QObject
{
    Q_OBJECT

private slots:
    void readFailures_data()
    {
        QTest::addColumn<QList<int>>("steps");
        QTest::addColumn<bool>("lost");
        // The device's reads: a burst "cd" for each 0, failures, and a read that brings nothing
        // (which is no failure) for each 1.
        QTest::newRow("persistent I/O error")
            << QList<int>{0} + QList<int>(UsbReader::MaxConsecutiveFailures, -1) + QList<int>{0}
            << true;
        QTest::newRow("time-out, transient errors and empty reads")
            << QList<int>{0, -7, 0, -1, -1, -1, -1, 0, -9, 1, 1, 1, 1, 1, 0} << false;
    }
    void readFailures()
    {
        QFETCH(QList<int>, steps);
        QFETCH(bool, lost);
        Rig rig;
        QByteArray sent;
        for (int step : steps) {
            rig.add(step ? QByteArray() : "cd", qMin(step, 0));
            sent += step ? "" : "cd";
        }
        // A lost device wakes the waiters, and its queue fails from then on.
        QVERIFY(rig.waitForQueued(lost ? -1 : sent.size()));
        QCOMPARE(rig.take(100), lost ? QByteArray("<failed>") : sent);
        QCOMPARE(rig.queued(), lost ? -1 : 0);
    }

    void operationsWaitForTheReadInProgress_data()
    {
        QTest::addColumn<quint32>("purge");
        QTest::addColumn<QByteArray>("read");
        // A receive purge waits for the burst that was arriving when it was asked for and drops
        // it; stopping (no purge) keeps that burst and then reads no more.
        QTest::newRow("receive purge") << quint32(FtPurgeRx) << QByteArray("ef");
        QTest::newRow("transmit purge") << quint32(FtPurgeTx) << QByteArray("abcdef");
        QTest::newRow("stop") << 0u << QByteArray("abcd");
    }
    void operationsWaitForTheReadInProgress()
    {
        QFETCH(quint32, purge);
        QFETCH(QByteArray, read);
        Rig rig;
        rig.add("ab");
        QVERIFY(rig.waitForQueued(2));
        // The reader is held inside the read of "cd" while the operation is asked for, and
        // another thread lets it go.
        rig.add("cd", Rig::Held);
        QVERIFY(rig.holding.tryAcquire(1, WaitLimitMs));
        std::thread device([&] {
            // A purge that did not wait for the read would flush the device meanwhile; the
            // release is recorded as a flush of nothing.
            QMutexLocker locker(&rig.mutex);
            if (purge)
                rig.changed.wait(&rig.mutex, 10);
            rig.flushes.append(0);
            locker.unlock();
            rig.released.release();
        });
        if (purge)
            QCOMPARE(rig.reader.purge(purge), 0);
        else
            rig.reader.pause();
        device.join();
        rig.add("ef");
        QVERIFY(!purge || rig.waitForQueued(read.size()));
        // A stopped reader that went on would bring "ef" within this read's time-out.
        QCOMPARE(rig.take(6, 20), read);
        QMutexLocker locker(&rig.mutex);
        QCOMPARE(rig.flushes, purge ? QList<quint32>({0, purge}) : QList<quint32>({0}));
    }

    void fullQueueLeavesBytesWithTheDevice()
    {
        Rig rig(8);
        rig.add("0123456789abcdefghij");
        QByteArray received;
        while (received.size() < 20 && rig.waitForQueued(qMin(8, 20 - received.size()))) {
            QVERIFY(rig.queued() <= 8);
            received += rig.take(8);
        }
        QCOMPARE(received, "0123456789abcdefghij");
        QMutexLocker locker(&rig.mutex);
        // A full queue makes the reader wait, not read nothing over and over.
        QVERIFY(!rig.sizes.contains(0));
    }

    void sysfsShowsWhoHoldsAnInterface()
    {
        // Bus 3, hub port 1, port 4, in configuration 2 with usbfs bound to its interface 0.
        QTemporaryDir sysfs;
        const QDir root(sysfs.path());
        QVERIFY(root.mkpath("3-1.4:2.0") && root.mkpath("3-1.4") && root.mkpath("drivers/usbfs"));
        QFile value(root.filePath("3-1.4/bConfigurationValue"));
        QVERIFY(value.open(QIODevice::WriteOnly) && value.write("2\n") == 2);
        value.close();
        QVERIFY(QFile::link(root.filePath("drivers/usbfs"), root.filePath("3-1.4:2.0/driver")));
        QCOMPARE(usbInterfaceDriver(sysfs.path(), 3, {1, 4}, 0), "usbfs");
    }

    void realDriverRefusesForeignHandles()
    {
        int unrelated = 0;
        QCOMPARE(usbFtdiDriver().stopInTask(&unrelated), int(FtInvalidHandle));
        QCOMPARE(usbFtdiDriver().close(&unrelated), int(FtInvalidHandle));
    }
};

QTEST_GUILESS_MAIN(TestUsbDriver)
#include "tst_usbdriver.moc"
