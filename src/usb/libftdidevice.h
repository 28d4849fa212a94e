#pragma once

#include "usb/usbbytesource.h"

#include <memory>

class AutoResetEvent;
class UsbReader;
struct ftdi_context;
struct libusb_device;

// One FTDI device opened through libftdi, with the operations of the FTDI driver on it. A
// UsbReader thread alone reads from the device and queues what arrives; reads, queue queries
// and the received-character event are served from that queue. Calls that change libftdi's
// read state (reset, purge, transfer sizes) are made while the reader is outside libftdi.
//
// The channel never calls one device from two threads at once; the reader thread runs beside
// those calls. Writes and control requests go on while the reader waits in libftdi, so the
// device keeps being drained while a long write runs: libftdi's read and write paths share
// only the USB handle, which libusb lets several threads use, and the last-error text, which
// only diagnostics read.
class LibftdiDevice final : public UsbByteSource
{
public:
    // Opens `device` (from an enumeration of libftdi) and starts its reader; the kernel's
    // serial driver is detached while the device is open and attached again when it closes.
    // Returns the driver status and, on success, the device in `opened`.
    static int open(libusb_device *device, std::unique_ptr<LibftdiDevice> *opened);
    // Stops the reader and releases the device.
    ~LibftdiDevice() override;
    LibftdiDevice(const LibftdiDevice &) = delete;
    LibftdiDevice &operator=(const LibftdiDevice &) = delete;

    // The USB device, to recognise it in an enumeration.
    libusb_device *usbDevice() const;

    int resetDevice();
    int purge(quint32 mask);
    // Time-outs of read() and write(); 0 means no limit.
    int setTimeouts(quint32 readMs, quint32 writeMs);
    int setChars(quint8 eventChar, bool eventEnabled, quint8 errorChar, bool errorEnabled);
    int setUsbParameters(quint32 inSize, quint32 outSize);
    int setLatencyTimer(quint8 ms);
    int setEventNotification(quint32 mask, AutoResetEvent *event);
    int getQueueStatus(quint32 *rxBytes) const;
    int getStatus(quint32 *rxBytes, quint32 *txBytes, quint32 *eventStatus) const;
    int read(void *buffer, quint32 size, quint32 *received);
    int write(const void *buffer, quint32 size, quint32 *written);
    int stopInTask();

private:
    explicit LibftdiDevice(ftdi_context *context);

    int receive(quint8 *buffer, int size) override;
    int flush(quint32 mask) override;

    ftdi_context *const context;
    quint32 readTimeoutMs = 0;
    quint32 writeTimeoutMs = 0;
    // Bytes per USB transfer of write(); each is one call of libftdi, so a time-out cuts the
    // count short at a transfer boundary.
    quint32 writeChunkSize;
    std::unique_ptr<UsbReader> reader;
};
