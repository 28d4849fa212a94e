#pragma once

#include <QtGlobal>

// libusb's code for a device that has left the bus (LIBUSB_ERROR_NO_DEVICE; libusb's error
// codes are part of its stable interface).
constexpr int UsbErrorNoDevice = -4;

// Where a UsbReader gets the bytes a device sends: the USB link of one opened device, or a
// scripted stand-in in tests. The reader never calls receive() and flush() at the same time.
class UsbByteSource
{
public:
    virtual ~UsbByteSource() = default;

    // Reads up to `size` (> 0) bytes that the device sent, waiting no longer than the USB read
    // time-out. Returns the count, 0 when the device had nothing to send, or a negative libusb
    // or libftdi error code (UsbErrorNoDevice once the device is gone).
    virtual int receive(quint8 *buffer, int size) = 0;
    // Drops what the device and the USB library hold in the directions of `mask` (FtPurgeRx,
    // FtPurgeTx). Returns 0 or a negative error code.
    virtual int flush(quint32 mask) = 0;
};
