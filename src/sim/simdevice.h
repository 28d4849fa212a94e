#pragma once

#include "sim/simdeviceend.h"
#include "usb/ftdidriver.h"

#include <QByteArray>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

// One simulated FTDI device: its identity in the device list, the link that carries bytes
// between the host and the device end (with the pacing tests ask for), the host's receive
// queue, and whether the device is plugged in and opened. SimDriver reaches it by handle;
// tests reach it through SimDriver::device() to shape the link and inject faults. Every member
// may be called from any thread; the device end is called with the device's lock held.
//
// The link keeps order: bytes never arrive before bytes that were sent earlier. Bytes sent
// with a pacing (rate limit or byte interval) arrive one at a time, byte k of a send at
// start + (k + 1) x period, where the period is the longer of 1/rate and the byte interval.
class SimDevice final : public SimHostLink
{
public:
    using Clock = std::chrono::steady_clock;

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
    // Every send arrives `msecs` later than asked.
    void setArrivalDelay(int msecs);
    // Bytes from the device arrive one at a time, `msecs` apart (0: all at once).
    void setByteInterval(int msecs);
    // Link throughput in bytes per second, both directions (0: unlimited).
    void setRate(qint64 bytesPerSecond);

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
    void enqueue(const QByteArray &bytes, int delayMs);
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

    std::deque<QByteArray> rx;
    qint64 rxOffset = 0; // bytes of rx.front() already read
    qint64 rxCount = 0;
    std::deque<Arrival> arrivals;
    Clock::time_point linkFreeAt;

    std::optional<Clock::time_point> leaveAt;
    int returnAfterLeaveMs = -1;
    std::optional<Clock::time_point> returnAt;
};
