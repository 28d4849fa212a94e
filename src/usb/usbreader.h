#pragma once

#include <QByteArray>
#include <QMutex>
#include <QWaitCondition>
#include <functional>
#include <thread>

class AutoResetEvent;
class UsbByteSource;

// The receive side of one opened device: a thread that alone reads from the device's byte
// source and fills a receive queue, and the queries and reads the driver serves from that
// queue. Arriving bytes signal the received-character event.
//
// A source that reports UsbErrorNoDevice, or fails MaxConsecutiveFailures reads in a row,
// marks the device lost: from then on the queue queries and reads fail with FtIoError, so the
// channel notices the device has gone.
class UsbReader
{
public:
    static constexpr int DefaultCapacity = 1 << 20;
    static constexpr int MaxConsecutiveFailures = 5;

    // Starts reading from `source` at once. The queue holds at most `capacity` bytes; while it
    // is full the reader leaves the bytes with the device instead of dropping any.
    explicit UsbReader(UsbByteSource &source, int capacity = DefaultCapacity);
    // Stops the reader thread; it finishes the read it is in first.
    ~UsbReader();
    UsbReader(const UsbReader &) = delete;
    UsbReader &operator=(const UsbReader &) = delete;

    // Number of queued bytes: FtOk, or FtIoError once the device is lost.
    int queueStatus(quint32 *count) const;
    // Takes up to `size` queued bytes, waiting up to `timeoutMs` (0: no limit) for `size` bytes
    // to be queued; fewer bytes when the time-out passes first.
    int read(void *buffer, quint32 size, quint32 timeoutMs, quint32 *received);
    // Flushes the source in the directions of `mask` while the reader is outside it; a purge
    // of the receive direction also empties the queue. Returns the flush's status.
    int purge(quint32 mask);
    // Runs `operation` while the reader is outside the source, for calls that change the
    // source's read state, and returns its result.
    int exclusive(const std::function<int()> &operation);
    // Sets the event to signal when bytes arrive or the device is lost; nullptr for none.
    void setEvent(AutoResetEvent *event);
    // Stops reading from the source for good once the read in progress has ended; what is
    // queued stays readable.
    void pause();
    bool isLost() const;

private:
    void run();
    // Called with `mutex` held.
    void markLost();

    UsbByteSource &source;
    const qsizetype capacity;
    mutable QMutex mutex;
    // Signalled on every change of the state below.
    QWaitCondition changed;
    QByteArray queue;
    AutoResetEvent *event = nullptr;
    // The reader thread is inside source.receive().
    bool readerInSource = false;
    // An exclusive operation holds the source; others wait to claim it.
    bool claimed = false;
    int claimsWaiting = 0;
    bool paused = false;
    bool stopping = false;
    bool lost = false;
    std::thread thread;
};
