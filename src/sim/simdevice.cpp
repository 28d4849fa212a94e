#include "sim/simdevice.h"
#include "sim/logging.h"
#include "sim/simownerlock.h"
#include "usb/autoresetevent.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// Identity of an FT232R bridge (vendor 0403, product 6001), as the listing reports it.
constexpr quint32 BridgeType = 5;
constexpr quint32 BridgeId = 0x04036001;

nanoseconds fromNs(double ns)
{
    return nanoseconds(std::llround(ns));
}

} // namespace

SimDevice::SimDevice(const QByteArray &description, const QByteArray &serialNumber,
                     std::function<void()> scheduleChanged)
    : desc(description), serial(serialNumber), scheduleChanged(std::move(scheduleChanged))
{}

QByteArray SimDevice::description() const
{
    return desc;
}

QByteArray SimDevice::serialNumber() const
{
    return serial;
}

void SimDevice::setDeviceEnd(SimDeviceEnd *deviceEnd)
{
    const Lock lock(mutex);
    end = deviceEnd;
}

void SimDevice::setOpenedElsewhere(bool opened)
{
    const Lock lock(mutex);
    openedElsewhere = opened;
}

void SimDevice::setOwnerLock(SimOwnerLock *lock)
{
    const Lock guard(mutex);
    ownerLock = lock;
}

void SimDevice::setArrivalDelay(int msecs)
{
    const Lock lock(mutex);
    arrivalDelayMs = std::max(msecs, 0);
}

void SimDevice::setByteInterval(int msecs)
{
    const Lock lock(mutex);
    byteIntervalMs = std::max(msecs, 0);
}

void SimDevice::setRate(qint64 bytesPerSecond)
{
    const Lock lock(mutex);
    rate = std::max<qint64>(bytesPerSecond, 0);
}

void SimDevice::setPacketSize(int bytes)
{
    const Lock lock(mutex);
    packetSize = std::max(bytes, 0);
}

void SimDevice::unplug()
{
    const Lock lock(mutex);
    leaveAt.reset();
    returnAt.reset();
    goOffBus();
}

void SimDevice::plug()
{
    const Lock lock(mutex);
    leaveAt.reset();
    returnAt.reset();
    if (!plugged)
        comeBack();
}

void SimDevice::leaveBusAfter(int delayMs, int returnAfterMs)
{
    const Lock lock(mutex);
    leaveAt = Clock::now() + milliseconds(std::max(delayMs, 0));
    returnAfterLeaveMs = returnAfterMs;
    scheduleChanged();
}

bool SimDevice::isPlugged()
{
    const Lock lock(mutex);
    catchUp(Clock::now());
    return plugged;
}

bool SimDevice::isOpen()
{
    const Lock lock(mutex);
    catchUp(Clock::now());
    return handle != 0;
}

quint8 SimDevice::latencyTimer() const
{
    const Lock lock(mutex);
    return latency;
}

void SimDevice::send(const char *data, qint64 size)
{
    const Lock lock(mutex);
    enqueue(QByteArray(data, size), now());
}

void SimDevice::sendAfter(int delayMs, const QByteArray &bytes)
{
    const Lock lock(mutex);
    enqueue(bytes, now() + milliseconds(std::max(delayMs, 0)));
}

SimDevice::Clock::time_point SimDevice::now() const
{
    const Lock lock(mutex);
    return feedTime ? *feedTime : Clock::now();
}

void SimDevice::sendAt(Clock::time_point at, const char *data, qint64 size)
{
    const Lock lock(mutex);
    enqueue(QByteArray(data, size), std::max(at, now()));
}

void SimDevice::holdInput(Clock::time_point until)
{
    const Lock lock(mutex);
    inputHeldUntil = std::max(inputHeldUntil, until);
}

void SimDevice::leaveBus(int returnAfterMs)
{
    const Lock lock(mutex);
    leaveAt.reset();
    goOffBus();
    if (returnAfterMs >= 0) {
        returnAt = Clock::now() + milliseconds(returnAfterMs);
        scheduleChanged();
    } else {
        returnAt.reset();
    }
}

FtDeviceListInfoNode SimDevice::listing(int number)
{
    const Lock lock(mutex);
    FtDeviceListInfoNode node;
    node.type = BridgeType;
    node.id = BridgeId;
    node.locId = quint32(number + 1);
    node.handle = reinterpret_cast<FtHandle>(handle);
    if (handle || openedElsewhere || (ownerLock && ownerLock->heldElsewhere())) {
        // Like the vendor library: an opened device shows neither description nor serial.
        node.flags = FtFlagOpened;
    } else {
        std::memcpy(node.serialNumber, serial.constData(),
                    std::min<size_t>(serial.size(), sizeof node.serialNumber - 1));
        std::memcpy(node.description, desc.constData(),
                    std::min<size_t>(desc.size(), sizeof node.description - 1));
    }
    return node;
}

int SimDevice::open(quintptr id)
{
    const Lock lock(mutex);
    catchUp(Clock::now());
    if (!plugged)
        return FtDeviceNotFound;
    if (handle || openedElsewhere || (ownerLock && !ownerLock->acquire()))
        return FtDeviceNotOpened;
    handle = id;
    if (end)
        end->resync();
    return FtOk;
}

int SimDevice::close(quintptr id)
{
    const Lock lock(mutex);
    if (id == handle) {
        handle = 0;
        event = nullptr;
        if (ownerLock)
            ownerLock->release();
    } else if (id == deadHandle) {
        deadHandle = 0;
    } else {
        return FtInvalidHandle;
    }
    return FtOk;
}

int SimDevice::check(quintptr id)
{
    const Lock lock(mutex);
    return usable(id);
}

template <typename Apply>
int SimDevice::whenUsable(quintptr id, Apply &&apply)
{
    const Lock lock(mutex);
    const int status = usable(id);
    if (status == FtOk)
        apply();
    return status;
}

int SimDevice::setEventNotification(quintptr id, quint32 mask, AutoResetEvent *rxEvent)
{
    return whenUsable(id, [&] {
        event = rxEvent;
        eventMask = mask;
    });
}

int SimDevice::setWriteTimeout(quintptr id, quint32 msecs)
{
    return whenUsable(id, [&] { writeTimeoutMs = msecs; });
}

int SimDevice::setLatencyTimer(quintptr id, quint8 msecs)
{
    return whenUsable(id, [&] { latency = msecs; });
}

int SimDevice::purge(quintptr id, quint32 mask)
{
    const Lock lock(mutex);
    const int status = usable(id);
    if (status != FtOk)
        return status;
    // Only the bridge's buffers and the host's queue are emptied: bytes still travelling keep
    // coming, and the device behind the bridge goes on with whatever it was doing.
    if (mask & FtPurgeRx) {
        rx.clear();
        rxOffset = 0;
        rxCount = 0;
        bridge.clear();
        scheduleChanged();
    }
    return FtOk;
}

int SimDevice::queueStatus(quintptr id, quint32 *rxBytes)
{
    return whenUsable(id, [&] {
        *rxBytes = quint32(std::min<qint64>(rxCount, std::numeric_limits<quint32>::max()));
    });
}

int SimDevice::read(quintptr id, void *buffer, quint32 size, quint32 *received)
{
    const Lock lock(mutex);
    const int status = usable(id);
    if (status != FtOk)
        return status;
    char *dest = static_cast<char *>(buffer);
    qint64 copied = 0;
    while (copied < size && !rx.empty()) {
        const QByteArray &front = rx.front();
        const qint64 n = std::min<qint64>(size - copied, front.size() - rxOffset);
        std::memcpy(dest + copied, front.constData() + rxOffset, size_t(n));
        copied += n;
        rxOffset += n;
        if (rxOffset == front.size()) {
            rx.pop_front();
            rxOffset = 0;
        }
    }
    rxCount -= copied;
    *received = quint32(copied);
    if (stalledSince && copied > 0) {
        // Room in the host's queue lets a stalled bridge and the device behind it go on.
        catchUp(Clock::now());
        scheduleChanged();
    }
    return FtOk;
}

int SimDevice::write(quintptr id, const void *buffer, quint32 size, quint32 *written)
{
    std::unique_lock<std::recursive_mutex> lock(mutex);
    int status = usable(id);
    if (status != FtOk)
        return status;
    const Clock::time_point begin = Clock::now();
    const Clock::time_point deadline =
        writeTimeoutMs ? begin + milliseconds(writeTimeoutMs) : Clock::time_point::max();
    Clock::time_point done = begin;
    const qint64 accepted = feed(static_cast<const char *>(buffer), size, deadline, &done);
    // The host's call returns when the link has carried the bytes; a short count when the
    // write time-out came first.
    const Clock::time_point returnAt = accepted < size ? deadline : done;
    if (returnAt > begin) {
        lock.unlock();
        std::this_thread::sleep_until(returnAt);
        lock.lock();
        // The device may have left the bus while the bytes travelled.
        status = usable(id);
        if (status != FtOk)
            return status;
    }
    *written = quint32(accepted);
    return FtOk;
}

qint64 SimDevice::feed(const char *data, qint64 size, Clock::time_point deadline,
                       Clock::time_point *done)
{
    const double period = rate > 0 ? 1e9 / double(rate) : 0.0;
    // The device end sees the bytes packet by packet, so that a busy device holds up the rest.
    const qint64 piece = packetSize > 0 ? packetSize : size;
    Clock::time_point at = std::max(*done, inputLinkFreeAt);
    qint64 fed = 0;
    while (fed < size) {
        const Clock::time_point start = std::max(at, inputHeldUntil);
        qint64 n = std::min(piece, size - fed);
        if (start + fromNs(double(n) * period) > deadline) {
            n = period > 0 && deadline > start
                    ? qint64(double(nanoseconds(deadline - start).count()) / period)
                    : 0;
            n = std::min(n, size - fed);
        }
        if (n <= 0)
            break;
        at = start + fromNs(double(n) * period);
        feedTime = at;
        if (end)
            end->received(data + fed, n, *this);
        feedTime.reset();
        fed += n;
        if (fed < size && at >= deadline)
            break;
    }
    inputLinkFreeAt = at;
    *done = at;
    return fed;
}

bool SimDevice::holds(quintptr id) const
{
    const Lock lock(mutex);
    return id != 0 && (id == handle || id == deadHandle);
}

SimDevice::Clock::time_point SimDevice::advance()
{
    const Lock lock(mutex);
    const Clock::time_point now = Clock::now();
    catchUp(now);
    Clock::time_point next = Clock::time_point::max();
    if (leaveAt)
        next = std::min(next, *leaveAt);
    if (returnAt)
        next = std::min(next, *returnAt);
    const bool bridgeFull = packetSize > 0 && bridge.size() >= 2 * packetSize;
    if (!arrivals.empty() && !bridgeFull) {
        const Arrival &head = arrivals.front();
        if (head.periodNs == 0) {
            next = std::min(next, head.start);
        } else {
            // Fast links are served in batches at most once a millisecond: no busy loop.
            const Clock::time_point nextByte =
                head.start + fromNs(double(head.delivered + 1) * head.periodNs);
            next = std::min(next, std::max(nextByte, now + milliseconds(1)));
        }
    }
    // A partly filled packet leaves when the latency timer runs out; a host queue without
    // room is waited for by the host's next read.
    if (!bridge.isEmpty() && bridge.size() < packetSize &&
        rxCount + bridge.size() <= HostQueueBytes)
        next = std::min(next, bridgeSince + milliseconds(latency));
    return next;
}

int SimDevice::usable(quintptr id)
{
    catchUp(Clock::now());
    if (id != 0 && id == handle)
        return FtOk;
    if (id != 0 && id == deadHandle)
        return FtIoError;
    return FtInvalidHandle;
}

void SimDevice::catchUp(Clock::time_point now)
{
    if (leaveAt && now >= *leaveAt) {
        leaveAt.reset();
        goOffBus();
        if (returnAfterLeaveMs >= 0)
            returnAt = now + milliseconds(returnAfterLeaveMs);
    }
    if (returnAt && now >= *returnAt) {
        returnAt.reset();
        comeBack();
    }
    const qint64 queued = rxCount;
    if (stalledSince && rxCount + packetSize <= HostQueueBytes) {
        // The host has made room: the device goes on from where it stopped.
        if (!arrivals.empty())
            arrivals.front().start += now - *stalledSince;
        stalledSince.reset();
    }
    // What leaves the bridge makes room for what the device has waiting.
    do {
        carry(now);
    } while (flushBridge(now));
    if (rxCount > queued)
        notifyRx();
}

void SimDevice::carry(Clock::time_point now)
{
    while (!arrivals.empty() && now >= arrivals.front().start) {
        Arrival &head = arrivals.front();
        const qint64 size = head.bytes.size();
        qint64 due = size;
        if (head.periodNs > 0) {
            const double elapsedNs = double(nanoseconds(now - head.start).count());
            due = std::min<qint64>(size, qint64(elapsedNs / head.periodNs));
        }
        if (packetSize > 0)
            due = std::min(due, head.delivered + 2 * packetSize - bridge.size());
        if (due > head.delivered) {
            const QByteArray bytes = head.delivered == 0 && due == size
                                         ? head.bytes
                                         : head.bytes.mid(head.delivered, due - head.delivered);
            if (packetSize == 0) {
                appendRx(bytes);
            } else {
                // The latency timer counts from when the bytes came in, not from this pass.
                if (bridge.isEmpty())
                    bridgeSince = head.start + fromNs(double(head.delivered + 1) * head.periodNs);
                bridge.append(bytes);
                bridgeLastAt = head.start + fromNs(double(due) * head.periodNs);
                bridgePeriodNs = head.periodNs;
            }
            head.delivered = due;
        }
        if (head.delivered < size)
            break;
        const Clock::time_point finished = head.start + fromNs(double(size) * head.periodNs);
        arrivals.pop_front();
        if (!arrivals.empty())
            arrivals.front().start = std::max(arrivals.front().start, finished);
    }
}

bool SimDevice::flushBridge(Clock::time_point now)
{
    bool sent = false;
    while (!bridge.isEmpty()) {
        const bool whole = bridge.size() >= packetSize;
        if (!whole && now < bridgeSince + milliseconds(latency))
            break;
        const qint64 n = std::min<qint64>(bridge.size(), packetSize);
        if (rxCount + n > HostQueueBytes) {
            if (!stalledSince)
                stalledSince = now;
            break;
        }
        appendRx(bridge.left(n));
        bridge.remove(0, n);
        // The latency timer restarts with every packet sent: when its last byte came in.
        bridgeSince = bridgeLastAt - fromNs(double(bridge.size()) * bridgePeriodNs);
        sent = true;
    }
    return sent;
}

void SimDevice::enqueue(const QByteArray &bytes, Clock::time_point at)
{
    const Clock::time_point now = Clock::now();
    catchUp(now);
    if (!plugged) {
        qCDebug(lcSim) << "Device" << serial << "is off the bus:" << bytes.size()
                       << "bytes not sent";
        return;
    }
    if (bytes.isEmpty())
        return;
    const double period = bytePeriodNs();
    const Clock::time_point start = std::max(at + milliseconds(arrivalDelayMs), linkFreeAt);
    if (period == 0 && start <= now && arrivals.empty() && packetSize == 0) {
        appendRx(bytes);
        notifyRx();
        return;
    }
    arrivals.push_back(Arrival{bytes, 0, start, period});
    linkFreeAt = start + fromNs(double(bytes.size()) * period);
    scheduleChanged();
}

void SimDevice::goOffBus()
{
    if (!plugged)
        return;
    plugged = false;
    if (handle)
        deadHandle = handle;
    handle = 0;
    if (ownerLock)
        ownerLock->release();
    event = nullptr;
    rx.clear();
    rxOffset = 0;
    rxCount = 0;
    arrivals.clear();
    linkFreeAt = Clock::time_point();
    bridge.clear();
    stalledSince.reset();
}

void SimDevice::comeBack()
{
    plugged = true;
    if (end)
        end->attached();
}

void SimDevice::appendRx(const QByteArray &bytes)
{
    rx.push_back(bytes);
    rxCount += bytes.size();
}

void SimDevice::notifyRx()
{
    if (event && (eventMask & FtEventRxChar))
        event->set();
}

double SimDevice::bytePeriodNs() const
{
    const double ratePeriod = rate > 0 ? 1e9 / double(rate) : 0.0;
    return std::max(ratePeriod, byteIntervalMs * 1e6);
}
