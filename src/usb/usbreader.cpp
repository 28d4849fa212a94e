#include "usb/usbreader.h"
#include "usb/autoresetevent.h"
#include "usb/ftdidriver.h"
#include "usb/logging.h"
#include "usb/usbbytesource.h"

#include <QDeadlineTimer>
#include <cstring>
#include <pthread.h>
#include <vector>

namespace {

// Largest single read from the source; libftdi hands out what one USB transfer brought.
constexpr int ReadBufferSize = 65536;
// After a failed read the reader waits this long before trying again, so that a device in
// trouble is not hammered and "persistent" spans more than an instant.
constexpr int FailurePauseMs = 10;

} // namespace

UsbReader::UsbReader(UsbByteSource &source, int capacity)
    : source(source), capacity(qMax(1, capacity)), thread([this] { run(); })
{}

UsbReader::~UsbReader()
{
    {
        QMutexLocker locker(&mutex);
        stopping = true;
        changed.wakeAll();
    }
    thread.join();
}

void UsbReader::run()
{
    // Named for tools that list threads (top -H, profilers).
    pthread_setname_np(pthread_self(), "npx4-usbreader");
    std::vector<quint8> buffer(size_t(qMin<qsizetype>(ReadBufferSize, capacity)));
    int failures = 0;
    QMutexLocker locker(&mutex);
    for (;;) {
        // Exclusive operations go first, so a reader that reads back to back cannot starve
        // them.
        while (!stopping && (paused || claimed || claimsWaiting > 0 || queue.size() >= capacity))
            changed.wait(&mutex);
        if (stopping)
            return;
        const int room = int(qMin<qsizetype>(qsizetype(buffer.size()), capacity - queue.size()));
        readerInSource = true;
        locker.unlock();
        const int result = source.receive(buffer.data(), room);
        locker.relock();
        readerInSource = false;
        changed.wakeAll();
        // Bytes are queued in the same critical section that ends the read, so a purge that
        // waited for this read also drops what it brought.
        if (result >= 0) {
            failures = 0;
            if (result > 0) {
                queue.append(reinterpret_cast<const char *>(buffer.data()), qMin(result, room));
                if (event)
                    event->set();
            }
            continue;
        }
        ++failures;
        qCDebug(lcUsb).nospace() << "USB read failed with code " << result << " (" << failures
                                 << " in a row)";
        if (result == UsbErrorNoDevice || failures >= MaxConsecutiveFailures) {
            markLost();
            return;
        }
        QDeadlineTimer retry(FailurePauseMs);
        while (!stopping && !retry.hasExpired())
            changed.wait(&mutex, retry);
    }
}

void UsbReader::markLost()
{
    qCWarning(lcUsb) << "USB device lost: its reads keep failing or it has left the bus";
    lost = true;
    // Waiters wake at once and find the device gone instead of waiting out their limit.
    if (event)
        event->set();
    changed.wakeAll();
}

int UsbReader::queueStatus(quint32 *count) const
{
    QMutexLocker locker(&mutex);
    *count = 0;
    if (lost)
        return FtIoError;
    *count = quint32(queue.size());
    return FtOk;
}

int UsbReader::read(void *buffer, quint32 size, quint32 timeoutMs, quint32 *received)
{
    QMutexLocker locker(&mutex);
    *received = 0;
    QDeadlineTimer deadline = timeoutMs == 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                             : QDeadlineTimer(timeoutMs, Qt::PreciseTimer);
    while (!lost && quint64(queue.size()) < size && changed.wait(&mutex, deadline)) {
    }
    if (lost)
        return FtIoError;
    const qsizetype n = qMin<qsizetype>(queue.size(), qsizetype(size));
    std::memcpy(buffer, queue.constData(), size_t(n));
    queue.remove(0, n);
    *received = quint32(n);
    // The reader may be waiting for room in the queue.
    changed.wakeAll();
    return FtOk;
}

int UsbReader::exclusive(const std::function<int()> &operation)
{
    QMutexLocker locker(&mutex);
    ++claimsWaiting;
    while (readerInSource || claimed)
        changed.wait(&mutex);
    --claimsWaiting;
    claimed = true;
    locker.unlock();
    const int result = operation();
    locker.relock();
    claimed = false;
    changed.wakeAll();
    return result;
}

int UsbReader::purge(quint32 mask)
{
    return exclusive([this, mask] {
        const int result = source.flush(mask);
        // What was queued is dropped even when the device's flush failed: the caller wants it
        // gone. The reader is kept out of the source meanwhile, so nothing newer is lost.
        if (mask & FtPurgeRx) {
            QMutexLocker locker(&mutex);
            queue.clear();
            changed.wakeAll();
        }
        return result;
    });
}

void UsbReader::setEvent(AutoResetEvent *newEvent)
{
    QMutexLocker locker(&mutex);
    event = newEvent;
}

void UsbReader::pause()
{
    QMutexLocker locker(&mutex);
    paused = true;
    while (readerInSource)
        changed.wait(&mutex);
}

bool UsbReader::isLost() const
{
    QMutexLocker locker(&mutex);
    return lost;
}
