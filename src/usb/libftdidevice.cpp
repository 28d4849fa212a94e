#include "usb/libftdidevice.h"
#include "usb/ftdidriver.h"
#include "usb/logging.h"
#include "usb/usbreader.h"
#include "usb/usbstatus.h"

#include <QDeadlineTimer>
#include <ftdi.h>
#include <libusb.h>

static_assert(UsbErrorNoDevice == LIBUSB_ERROR_NO_DEVICE, "libusb's code for a gone device");

namespace {

// USB time-out of the reader's transfers. A live chip answers every read within its latency
// timer (at most 255 ms), with an empty status packet when it has no data, so this only runs
// out on a chip that no longer answers. It must never be short: libftdi drops the bytes of a
// transfer that ends in a time-out.
constexpr int ReaderUsbTimeoutMs = 500;
// USB time-out of control requests (reset, purge, latency, characters).
constexpr int ControlTimeoutMs = 1000;
constexpr quint32 DefaultTransferSize = 4096;
// ftdi_usb_open_dev(): libusb_open() failed, mostly for want of access to the device node.
constexpr int UsbOpenFailed = -4;

int statusOf(int libftdiResult)
{
    return libftdiResult < 0 ? FtIoError : FtOk;
}

} // namespace

LibftdiDevice::LibftdiDevice(ftdi_context *context)
    : context(context), writeChunkSize(DefaultTransferSize), reader(new UsbReader(*this))
{}

LibftdiDevice::~LibftdiDevice()
{
    reader.reset();
    // Releasing the interface makes libusb attach the kernel's serial driver again.
    ftdi_usb_close(context);
    ftdi_free(context);
}

int LibftdiDevice::open(libusb_device *device, std::unique_ptr<LibftdiDevice> *opened)
{
    ftdi_context *context = ftdi_new();
    if (!context) {
        qCWarning(lcUsb) << "Cannot open the FTDI device: libftdi could not be initialised";
        return FtInsufficientResources;
    }
    context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    const int result = ftdi_usb_open_dev(context, device);
    if (result < 0) {
        qCWarning(lcUsb).nospace()
            << "Cannot open the FTDI device: " << ftdi_get_error_string(context) << " (" << result
            << ")"
            << (result == UsbOpenFailed ? "; check the access rights to its device node (udev rule)"
                                        : "");
        ftdi_free(context);
        return ftStatusFromOpenResult(result);
    }
    context->usb_read_timeout = ReaderUsbTimeoutMs;
    context->usb_write_timeout = ControlTimeoutMs;
    ftdi_write_data_set_chunksize(context, DefaultTransferSize);
    opened->reset(new LibftdiDevice(context));
    return FtOk;
}

libusb_device *LibftdiDevice::usbDevice() const
{
    return libusb_get_device(context->usb_dev);
}

int LibftdiDevice::receive(quint8 *buffer, int size)
{
    // Asking libftdi for one byte makes it fetch one USB transfer and keep the rest in its
    // buffer, from which the rest is then copied without touching the bus. Asking for more
    // at once would make libftdi wait for a further transfer, one more latency period, before
    // handing over bytes that have already arrived.
    int received = ftdi_read_data(context, buffer, 1);
    if (received > 0 && size > 1 && context->readbuffer_remaining > 0) {
        const int buffered = int(qMin<unsigned>(context->readbuffer_remaining, unsigned(size - 1)));
        const int more = ftdi_read_data(context, buffer + 1, buffered);
        received = more < 0 ? more : received + more;
    }
    if (received < 0)
        qCDebug(lcUsb).nospace() << "ftdi_read_data: " << ftdi_get_error_string(context) << " ("
                                 << libusb_error_name(received) << ")";
    return received;
}

int LibftdiDevice::flush(quint32 mask)
{
    switch (mask & (FtPurgeRx | FtPurgeTx)) {
    case FtPurgeRx | FtPurgeTx:
        return ftdi_tcioflush(context);
    case FtPurgeRx:
        return ftdi_tciflush(context);
    case FtPurgeTx:
        return ftdi_tcoflush(context);
    default:
        return 0;
    }
}

int LibftdiDevice::resetDevice()
{
    return statusOf(reader->exclusive([this] { return ftdi_usb_reset(context); }));
}

int LibftdiDevice::purge(quint32 mask)
{
    return statusOf(reader->purge(mask));
}

int LibftdiDevice::setTimeouts(quint32 readMs, quint32 writeMs)
{
    readTimeoutMs = readMs;
    writeTimeoutMs = writeMs;
    return FtOk;
}

int LibftdiDevice::setChars(quint8 eventChar, bool eventEnabled, quint8 errorChar,
                            bool errorEnabled)
{
    if (ftdi_set_event_char(context, eventChar, eventEnabled) < 0)
        return FtIoError;
    return statusOf(ftdi_set_error_char(context, errorChar, errorEnabled));
}

int LibftdiDevice::setUsbParameters(quint32 inSize, quint32 outSize)
{
    // The chip's receive transfers come in multiples of 64 bytes, up to 64 KiB; a transmit
    // size of 0 keeps the current one.
    if (inSize < 64 || inSize > 65536 || inSize % 64 != 0 || outSize > 65536)
        return FtInvalidParameter;
    if (outSize > 0) {
        writeChunkSize = outSize;
        ftdi_write_data_set_chunksize(context, outSize);
    }
    // A new read size reallocates libftdi's read buffer.
    return statusOf(reader->exclusive(
        [this, inSize] { return ftdi_read_data_set_chunksize(context, inSize); }));
}

int LibftdiDevice::setLatencyTimer(quint8 ms)
{
    if (ms == 0)
        return FtInvalidParameter;
    return statusOf(ftdi_set_latency_timer(context, ms));
}

int LibftdiDevice::setEventNotification(quint32 mask, AutoResetEvent *event)
{
    reader->setEvent(mask & FtEventRxChar ? event : nullptr);
    return FtOk;
}

int LibftdiDevice::getQueueStatus(quint32 *rxBytes) const
{
    return reader->queueStatus(rxBytes);
}

int LibftdiDevice::getStatus(quint32 *rxBytes, quint32 *txBytes, quint32 *eventStatus) const
{
    // write() returns once its transfers are done, so nothing ever waits to be sent.
    *txBytes = 0;
    *eventStatus = 0;
    return reader->queueStatus(rxBytes);
}

int LibftdiDevice::read(void *buffer, quint32 size, quint32 *received)
{
    return reader->read(buffer, size, readTimeoutMs, received);
}

int LibftdiDevice::write(const void *buffer, quint32 size, quint32 *written)
{
    *written = 0;
    if (reader->isLost())
        return FtIoError;
    const QDeadlineTimer deadline = writeTimeoutMs == 0
                                        ? QDeadlineTimer(QDeadlineTimer::Forever)
                                        : QDeadlineTimer(writeTimeoutMs, Qt::PreciseTimer);
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    int status = FtOk;
    while (*written < size && !deadline.hasExpired()) {
        // Each transfer gets what is left of the time-out (libusb takes 0 as no limit).
        const qint64 left = deadline.remainingTime();
        context->usb_write_timeout = left < 0 ? 0 : int(qMax<qint64>(1, left));
        const int piece = int(qMin(size - *written, writeChunkSize));
        const int result = ftdi_write_data(context, bytes + *written, piece);
        if (result < 0) {
            // A transfer cut off by the time-out fails as a whole; what went before is the
            // short count that tells the caller about the time-out.
            if (!deadline.hasExpired()) {
                qCDebug(lcUsb) << "ftdi_write_data:" << ftdi_get_error_string(context);
                status = FtIoError;
            }
            break;
        }
        *written += quint32(result);
    }
    context->usb_write_timeout = ControlTimeoutMs;
    return status;
}

int LibftdiDevice::stopInTask()
{
    reader->pause();
    return FtOk;
}
