#pragma once

#include <QByteArray>

// The device's view of its USB link to the host. Bytes sent here travel to the host's receive
// queue, paced by the link (rate limit and any injected delays).
class SimHostLink
{
public:
    virtual ~SimHostLink() = default;

    // Queues bytes for the host; they arrive as the link's pacing allows.
    virtual void send(const char *data, qint64 size) = 0;
    void send(const QByteArray &bytes) { send(bytes.constData(), bytes.size()); }
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
    // The host opened the device or purged its transmit queue: a partly received frame or
    // data phase is dropped.
    virtual void resync() {}
    // The device came back on the bus (plugged in again): it restarts.
    virtual void attached() {}
};
