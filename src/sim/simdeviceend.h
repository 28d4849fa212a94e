#pragma once

#include <QByteArray>
#include <chrono>

// The device's view of its USB link to the host. Bytes sent here travel to the host's receive
// queue, paced by the link (rate limit and any injected delays).
class SimHostLink
{
public:
    using Clock = std::chrono::steady_clock;

    virtual ~SimHostLink() = default;

    // Queues bytes for the host; they arrive as the link's pacing allows.
    virtual void send(const char *data, qint64 size) = 0;
    void send(const QByteArray &bytes) { send(bytes.constData(), bytes.size()); }
    // The moment the bytes the device is handling reached it.
    virtual Clock::time_point now() const { return Clock::now(); }
    // Queues bytes that the device has ready no earlier than `at` (the chip is still busy).
    virtual void sendAt(Clock::time_point at, const char *data, qint64 size)
    {
        Q_UNUSED(at);
        send(data, size);
    }
    // The device takes no more bytes from the host before `until`: a write waits for it.
    virtual void holdInput(Clock::time_point until) { Q_UNUSED(until); }
    // Queues bytes that arrive no earlier than `delayMs` from now.
    virtual void sendAfter(int delayMs, const QByteArray &bytes) = 0;
    // The device drops off the bus now, as if unplugged, and comes back after `returnAfterMs`
    // (negative: it stays away until plugged in again).
    virtual void leaveBus(int returnAfterMs) = 0;
    // The same, `delayMs` from now: bytes sent before then still reach the host.
    virtual void leaveBusAfter(int delayMs, int returnAfterMs) = 0;
};

// What sits behind the FTDI bridge of a simulated programmer: the device firmware. The
// transport hands it every byte the host writes, in order, on the writing thread, with the
// device's lock held, so an implementation needs no locking of its own.
class SimDeviceEnd
{
public:
    virtual ~SimDeviceEnd() = default;

    // Bytes written by the host.
    virtual void received(const char *data, qint64 size, SimHostLink &link) = 0;
    // The host opened the device: a partly received frame or data phase is dropped. A purge
    // does not reach the device end: it clears the bridge's buffers only.
    virtual void resync() {}
    // The device came back on the bus (plugged in again): it restarts.
    virtual void attached() {}
};
