#pragma once

#include "sim/simdeviceend.h"
#include "usb/ftdidriver.h"

#include <QByteArray>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

class SimOwnerLock;

// One simulated FTDI device: its identity in the device list, the link that carries bytes
// between the host and the device end (with the pacing tests ask for), the host's receive
// queue, and whether the device is plugged in and opened. SimDriver reaches it by handle;
// tests reach it through SimDriver::device() to shape the link and inject faults. Every member
// may be called from any thread; the device end is called with the device's lock held.
//
// The link keeps order: bytes never arrive before bytes that were sent earlier. Bytes sent
// with a pacing (rate limit or byte interval) leave the device one at a time, byte k of a send
// at start + (k + 1) x period, where the period is the longer of 1/rate and the byte interval.
//
// With a packet size the link is strict, as an FTDI bridge is: the device's bytes collect in
// the bridge's buffer and reach the host's queue as whole packets, a partly filled one when the
// latency timer has run out. Both buffers are bounded: a host that does not read stalls the
// device, whose later bytes wait. A purge empties them but not the device behind the bridge.
// Without a packet size bytes reach the host's queue as they arrive and nothing is bounded.
class SimDevice final : public SimHostLink
{
public:
    // What the host's driver queues for the device before the bridge stalls it.
    static constexpr qint64 HostQueueBytes = 65536;

    // `scheduleChanged` is called (with the device's lock held) when the device has a new
    // moment at which something happens, so that the driver's scheduler calls advance() then.
    SimDevice(const QByteArray &description, const QByteArray &serialNumber,
              std::function<void()> scheduleChanged);

    QByteArray description() const;
    QByteArray serialNumber() const;

    // What sits behind the bridge; null swallows what the host writes. Not owned.
    void setDeviceEnd(SimDeviceEnd *end);
    // Another process holds the device: open fails and the listing shows it as opened.
    void setOpenedElsewhere(bool opened);
    // The claim an open takes, so that whoever else holds it sees the device as opened
    // elsewhere; null: none. Not owned.
    void setOwnerLock(SimOwnerLock *lock);
    // Every send arrives `msecs` later than asked.
    void setArrivalDelay(int msecs);
    // Bytes from the device arrive one at a time, `msecs` apart (0: all at once).
    void setByteInterval(int msecs);
    // Link throughput in bytes per second, both directions (0: unlimited).
    void setRate(qint64 bytesPerSecond);
    // USB packet size: 512 at high speed, 64 at full speed; 0: no packets, unbounded buffers.
    void setPacketSize(int bytes);

    // The device leaves the bus until plug(): its handle fails from now on, queued and
    // travelling bytes are lost.
    void unplug();
    // The device comes back (a new open is needed) and its device end restarts.
    void plug();
    bool isPlugged();
    // Opened through the driver (not counting "opened elsewhere").
    bool isOpen();
    // The latency timer the host last set.
    quint8 latencyTimer() const;

    void send(const char *data, qint64 size) override;
    using SimHostLink::send;
    Clock::time_point now() const override;
    void sendAt(Clock::time_point at, const char *data, qint64 size) override;
    void holdInput(Clock::time_point until) override;
    void sendAfter(int delayMs, const QByteArray &bytes) override;
    void leaveBus(int returnAfterMs) override;
    // Negative `returnAfterMs`: only plug() brings the device back.
    void leaveBusAfter(int delayMs, int returnAfterMs) override;

private:
    friend class SimDriver;

    struct Arrival
    {
        QByteArray bytes;
        qint64 delivered;
        Clock::time_point start;
        double periodNs; // 0: the whole send arrives at `start`
    };

    // The driver's side, by handle id; each returns a driver status.
    FtDeviceListInfoNode listing(int number);
    int open(quintptr id);
    int close(quintptr id);
    int check(quintptr id);
    int setEventNotification(quintptr id, quint32 mask, AutoResetEvent *event);
    int setWriteTimeout(quintptr id, quint32 msecs);
    int setLatencyTimer(quintptr id, quint8 msecs);
    int purge(quintptr id, quint32 mask);
    int queueStatus(quintptr id, quint32 *rxBytes);
    int read(quintptr id, void *buffer, quint32 size, quint32 *received);
    int write(quintptr id, const void *buffer, quint32 size, quint32 *written);
    bool holds(quintptr id) const;
    // Carries out what is due by now; returns the next moment something is due.
    Clock::time_point advance();

    // Under the lock: runs `apply` when handle `id` is usable; returns its status.
    template <typename Apply>
    int whenUsable(quintptr id, Apply &&apply);

    // The rest expects the lock to be held.
    int usable(quintptr id);
    void catchUp(Clock::time_point now);
    // Moves what has left the device into the bridge (or the host's queue without packets).
    void carry(Clock::time_point now);
    // Sends the bridge's packets that are due to the host's queue, as far as it has room;
    // true when it sent any.
    bool flushBridge(Clock::time_point now);
    // Feeds the host's bytes to the device end at the link's pace; returns how many it took.
    qint64 feed(const char *data, qint64 size, Clock::time_point deadline, Clock::time_point *done);
    void enqueue(const QByteArray &bytes, Clock::time_point at);
    void goOffBus();
    void comeBack();
    void appendRx(const QByteArray &bytes);
    void notifyRx();
    double bytePeriodNs() const;

    mutable std::recursive_mutex mutex;
    const QByteArray desc;
    const QByteArray serial;
    const std::function<void()> scheduleChanged;
    SimDeviceEnd *end = nullptr;
    bool openedElsewhere = false;
    SimOwnerLock *ownerLock = nullptr;
    bool plugged = true;
    quintptr handle = 0;     // the open handle, 0 when closed
    quintptr deadHandle = 0; // a handle that was open when the device left the bus
    AutoResetEvent *event = nullptr;
    quint32 eventMask = 0;
    quint32 writeTimeoutMs = 0; // 0: no time-out
    quint8 latency = 16;
    int arrivalDelayMs = 0;
    int byteIntervalMs = 0;
    qint64 rate = 0;
    int packetSize = 0;

    std::deque<QByteArray> rx;
    qint64 rxOffset = 0; // bytes of rx.front() already read
    qint64 rxCount = 0;
    std::deque<Arrival> arrivals;
    Clock::time_point linkFreeAt;
    // The bridge's buffer towards the host, and when its oldest unsent byte came in (or its
    // last packet left): the latency timer runs from then.
    QByteArray bridge;
    Clock::time_point bridgeSince;
    // When the newest byte in the bridge came in, and the pace at which its send came.
    Clock::time_point bridgeLastAt;
    double bridgePeriodNs = 0;
    // Since when a full host queue holds up the bridge and, behind it, the device.
    std::optional<Clock::time_point> stalledSince;
    // Towards the device: when the link is free again, and until when the device takes nothing.
    Clock::time_point inputLinkFreeAt;
    Clock::time_point inputHeldUntil;
    // While a write feeds the device end: when the bytes being handled reached it.
    std::optional<Clock::time_point> feedTime;

    std::optional<Clock::time_point> leaveAt;
    int returnAfterLeaveMs = -1;
    std::optional<Clock::time_point> returnAt;
};
