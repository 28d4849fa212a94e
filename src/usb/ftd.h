#pragma once

#include "usb/ftddeviceinfo.h"

#include <QIODevice>
#include <QList>
#include <memory>

class FtdPrivate;

// One opened FTDI device as a sequential QIODevice. It configures the chip when it opens it,
// turns the driver's received-character notification into timed waits, watches the device
// every 500 ms and reports a device that has gone as the end of its read channel.
//
// Every driver call on the device is made under one non-recursive mutex, so the watch (in the
// thread that owns the channel) never runs inside a read or write of another thread. Signals
// are emitted with that mutex released: a receiver may call back into the channel.
class Ftd : public QIODevice
{
    Q_OBJECT

public:
    explicit Ftd(QObject *parent = nullptr);
    ~Ftd() override;

    bool isSequential() const override;
    void close() override;
    // Purges the device's queues and whatever the channel has buffered; true when open.
    bool reset() override;
    // Bytes buffered by the channel plus the device's receive queue; -1 when the query fails.
    qint64 bytesAvailable() const override;
    // The device's transmit queue; -1 when the query fails.
    qint64 bytesToWrite() const override;
    // Limits of 1 to 18 ms poll the receive queue, others wait on the received-character
    // event; 0 only tests the event and a negative limit waits until data comes or the device
    // is gone.
    bool waitForReadyRead(int msecs) override;
    bool waitForBytesWritten(int msecs) override;
    // Waits until `count` bytes are there, as long as new bytes keep coming: it ends once
    // `msecs` pass without any. True when bytes are there (or the query failed: the read that
    // follows reports it). A real driver's queue fills by whole transfers, so waking to a few
    // bytes while more are on their way only costs time.
    bool waitForBytes(qint64 count, int msecs);

    // Opens the device at `index` of the device list (closing whatever is open first) and
    // configures it.
    virtual bool openDevice(int index, OpenMode mode);
    bool setLatencyTimer(int msecs);
    // Drops everything in the device's receive and transmit queues.
    void purge();

    // Text of a driver status code.
    static QString errorText(int status);
    // The attached FTDI devices, in the driver's order.
    static QList<FtdDeviceInfo> deviceList();

signals:
    // Emitted with the error string whenever a driver call fails.
    void error(const QString &text);

protected:
    void timerEvent(QTimerEvent *event) override;
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    // Sets the error string "ftd2xx: ..." and emits error() for a failed status; false for
    // FtOk.
    bool setError(int status);

    std::unique_ptr<FtdPrivate> d;
};
