#include "usb/ftd.h"
#include "usb/autoresetevent.h"
#include "usb/logging.h"
#include "usb/perfcounter.h"

#include <QMutex>
#include <QThread>
#include <QTimerEvent>
#include <iterator>
#include <vector>

namespace {

constexpr int WatchIntervalMs = 500;
// Waits up to this long are done by polling the receive queue: the operating system's timed
// waits are too coarse for them.
constexpr int LongestPolledWaitMs = 18;
// A wait without limit checks between slices of this length that the device is still there.
constexpr int UnlimitedWaitSliceMs = 100;
constexpr quint32 PurgeBoth = FtPurgeRx | FtPurgeTx;
constexpr quint32 TransferSize = 4096;
constexpr qint64 LargestWrite = 2147483647;

} // namespace

// The channel's private state. Everything that calls the driver expects `mutex` to be held.
class FtdPrivate
{
public:
    // The driver of the open device; before the first open, the process's driver.
    FtdiDriver &driver()
    {
        if (!drv)
            drv = &FtdiDriver::instance();
        return *drv;
    }
    // Purges, stops and closes the held device; does nothing when no device is held.
    void closeHandle();
    bool waitForRx(int msecs);
    bool pollRx(int msecs);
    // Waits for received data in event-wait slices until data comes or the device is gone.
    bool waitForRxWithoutLimit();

    FtdiDriver *drv = nullptr;
    FtHandle handle = nullptr;
    quint32 readTimeout = 1;
    quint32 writeTimeout = 1000;
    int timerId = -1;
    QMutex mutex;
    AutoResetEvent rxEvent;
    double ticksPerMs = PerfCounter::frequency() / 1000.0;
};

void FtdPrivate::closeHandle()
{
    if (!handle)
        return;
    drv->purge(handle, PurgeBoth);
    drv->stopInTask(handle);
    drv->close(handle);
    handle = nullptr;
}

bool FtdPrivate::waitForRx(int msecs)
{
    if (msecs >= 1 && msecs <= LongestPolledWaitMs)
        return pollRx(msecs);
    return rxEvent.wait(msecs);
}

bool FtdPrivate::pollRx(int msecs)
{
    qint64 now = 0;
    if (!PerfCounter::read(&now))
        return false;
    const qint64 deadline = now + qint64(msecs * ticksPerMs + 0.5);
    for (;;) {
        if (!PerfCounter::read(&now) || now >= deadline)
            return false;
        quint32 queued = 0;
        if (driver().getQueueStatus(handle, &queued) != FtOk)
            return false;
        if (queued > 0)
            return true;
        QThread::yieldCurrentThread();
    }
}

bool FtdPrivate::waitForRxWithoutLimit()
{
    for (;;) {
        // The mutex is released between slices so that the device watch can run.
        QMutexLocker locker(&mutex);
        if (rxEvent.wait(UnlimitedWaitSliceMs))
            return true;
        quint32 rx = 0, tx = 0, events = 0;
        if (driver().getStatus(handle, &rx, &tx, &events) != FtOk)
            return false;
        if (rx > 0)
            return true;
    }
}

Ftd::Ftd(QObject *parent) : QIODevice(parent), d(new FtdPrivate)
{
    d->timerId = startTimer(WatchIntervalMs);
}

Ftd::~Ftd()
{
    QMutexLocker locker(&d->mutex);
    killTimer(d->timerId);
    d->closeHandle();
}

void Ftd::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != d->timerId) {
        QIODevice::timerEvent(event);
        return;
    }
    event->accept();
    if (!isOpen())
        return;
    quint32 rx = 0, tx = 0, events = 0;
    int status;
    {
        QMutexLocker locker(&d->mutex);
        status = d->driver().getStatus(d->handle, &rx, &tx, &events);
    }
    if (status != FtOk) {
        qCDebug(lcUsb).noquote() << "Device status failed, closing the channel:"
                                 << errorText(status);
        QIODevice::close();
        {
            QMutexLocker locker(&d->mutex);
            d->closeHandle();
        }
        emit readChannelFinished();
    } else if (rx > 0) {
        emit readyRead();
    }
}

bool Ftd::isSequential() const
{
    return true;
}

void Ftd::close()
{
    if (isOpen())
        QIODevice::close();
    QMutexLocker locker(&d->mutex);
    d->closeHandle();
}

bool Ftd::reset()
{
    {
        QMutexLocker locker(&d->mutex);
        d->driver().purge(d->handle, PurgeBoth);
    }
    if (!isOpen())
        return false;
    // A sequential device cannot seek, so the base class's reset() would only fail; what a
    // reset means here is that nothing received so far is read any more.
    QIODevice::skip(QIODevice::bytesAvailable());
    return true;
}

qint64 Ftd::bytesAvailable() const
{
    quint32 queued = 0;
    {
        QMutexLocker locker(&d->mutex);
        if (d->driver().getQueueStatus(d->handle, &queued) != FtOk)
            return -1;
    }
    return QIODevice::bytesAvailable() + queued;
}

qint64 Ftd::bytesToWrite() const
{
    QMutexLocker locker(&d->mutex);
    quint32 rx = 0, tx = 0, events = 0;
    if (d->driver().getStatus(d->handle, &rx, &tx, &events) != FtOk)
        return -1;
    return tx;
}

bool Ftd::waitForReadyRead(int msecs)
{
    // A failed query counts as data: the read that follows reports the failure.
    if (bytesAvailable() != 0) {
        emit readyRead();
        return true;
    }
    bool ready;
    if (msecs < 0) {
        ready = d->waitForRxWithoutLimit();
    } else {
        QMutexLocker locker(&d->mutex);
        ready = d->waitForRx(msecs);
    }
    if (ready)
        emit readyRead();
    return ready;
}

bool Ftd::waitForBytes(qint64 count, int msecs)
{
    qint64 available = bytesAvailable();
    while (available >= 0 && available < count) {
        bool woken;
        {
            QMutexLocker locker(&d->mutex);
            woken = d->rxEvent.wait(msecs);
        }
        const qint64 now = bytesAvailable();
        // A wake-up without new bytes is not silence yet; a wait that timed out is.
        const bool silent = !woken && now == available;
        available = now;
        if (silent)
            break;
    }
    if (available == 0)
        return false;
    emit readyRead();
    return true;
}

bool Ftd::waitForBytesWritten(int)
{
    return false;
}

qint64 Ftd::readData(char *data, qint64 maxSize)
{
    quint32 wanted = 0;
    quint32 received = 0;
    int status;
    {
        QMutexLocker locker(&d->mutex);
        quint32 queued = 0;
        status = d->driver().getQueueStatus(d->handle, &queued);
        if (status == FtOk) {
            // Only what is queued is asked for, so the read never waits for data.
            wanted = quint32(qBound<qint64>(0, maxSize, queued));
            if (wanted == 0)
                return 0;
            status = d->driver().read(d->handle, data, wanted, &received);
        }
    }
    if (setError(status))
        return -1;
    if (received != wanted)
        qCDebug(lcUsb) << "ret != rxBytes: ret =" << received << "; rxBytes =" << wanted;
    return received;
}

qint64 Ftd::writeData(const char *data, qint64 size)
{
    if (size <= 0)
        return 0;
    qint64 remaining = size;
    int status = FtOk;
    {
        QMutexLocker locker(&d->mutex);
        while (remaining > 0) {
            const quint32 piece = quint32(qMin(remaining, LargestWrite));
            quint32 written = 0;
            status = d->driver().write(d->handle, data + (size - remaining), piece, &written);
            if (status != FtOk)
                break;
            remaining -= written;
            // A short count: the device did not take the data within the write time-out.
            if (written < piece)
                break;
        }
    }
    if (setError(status))
        return -1;
    return size - remaining;
}

bool Ftd::openDevice(int index, OpenMode mode)
{
    if (isOpen())
        QIODevice::close();
    int status;
    {
        QMutexLocker locker(&d->mutex);
        d->closeHandle();
        d->drv = &FtdiDriver::instance();
        FtHandle handle = nullptr;
        status = d->drv->open(index, &handle);
        if (status == FtOk) {
            d->handle = handle;
            // Configuration failures are not fatal: the device still moves bytes.
            d->drv->resetDevice(handle);
            d->drv->setEventNotification(handle, FtEventRxChar, &d->rxEvent);
            d->drv->purge(handle, PurgeBoth);
            d->drv->setTimeouts(handle, d->readTimeout, d->writeTimeout);
            d->drv->setChars(handle, 0, false, 0, false);
            d->drv->setUsbParameters(handle, TransferSize, TransferSize);
        }
    }
    if (setError(status))
        return false;
    return QIODevice::open(mode);
}

bool Ftd::setLatencyTimer(int msecs)
{
    // The chip takes 8 bits; a larger value would silently become another latency.
    int status = FtInvalidParameter;
    if (msecs >= 0 && msecs <= 255) {
        QMutexLocker locker(&d->mutex);
        status = d->driver().setLatencyTimer(d->handle, quint8(msecs));
    }
    return !setError(status);
}

void Ftd::purge()
{
    QMutexLocker locker(&d->mutex);
    d->driver().purge(d->handle, PurgeBoth);
}

bool Ftd::setError(int status)
{
    if (status == FtOk)
        return false;
    const QString text = tr("ftd2xx: %1").arg(errorText(status));
    setErrorString(text);
    emit error(text);
    return true;
}

QString Ftd::errorText(int status)
{
    static const char *const texts[] = {
        QT_TR_NOOP("OK"),
        QT_TR_NOOP("Invalid handle"),
        QT_TR_NOOP("Device not found"),
        QT_TR_NOOP("Device not opened"),
        QT_TR_NOOP("Io Error"),
        QT_TR_NOOP("Insufficient resounces"),
        QT_TR_NOOP("Invalid parameter"),
        QT_TR_NOOP("Invalid baud rate"),
        QT_TR_NOOP("Device not opened for erase"),
        QT_TR_NOOP("Device not opened for write"),
        QT_TR_NOOP("Failed to write device"),
        QT_TR_NOOP("EEPROM read failed"),
        QT_TR_NOOP("EEPROM write failed"),
        QT_TR_NOOP("EEPROM erase failed"),
        QT_TR_NOOP("EEPROM not present"),
        QT_TR_NOOP("EEPROM not programmed"),
        QT_TR_NOOP("Invalid arguments"),
        QT_TR_NOOP("Not supported"),
        QT_TR_NOOP("Other error"),
    };
    if (status >= 0 && status < int(std::size(texts)))
        return tr(texts[status]);
    return tr("Unknown error #%1").arg(status);
}

QList<FtdDeviceInfo> Ftd::deviceList()
{
    FtdiDriver &driver = FtdiDriver::instance();
    QList<FtdDeviceInfo> devices;
    quint32 count = 0;
    int status = driver.createDeviceInfoList(&count);
    if (status == FtOk && count > 0) {
        std::vector<FtDeviceListInfoNode> nodes(count);
        status = driver.getDeviceInfoList(nodes.data(), &count);
        // The driver reports how many records it filled, never more than there is room for.
        for (quint32 i = 0; status == FtOk && i < qMin<quint32>(count, nodes.size()); ++i)
            devices.append(FtdDeviceInfo(int(i), nodes[i]));
    }
    if (status != FtOk)
        qCDebug(lcUsb).noquote() << "Failed to retrive device list:" << errorText(status);
    return devices;
}
