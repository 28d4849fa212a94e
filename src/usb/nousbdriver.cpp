#include "usb/ftdidriver.h"
#include "usb/logging.h"

namespace {

// Stands in for the real USB driver until one is built in: it lists no device, so the
// program runs and reports that no programmer is connected.
class NoUsbDriver final : public FtdiDriver
{
public:
    NoUsbDriver() { qCInfo(lcUsb) << "No USB driver is built in: no FTDI device will be listed"; }

    int createDeviceInfoList(quint32 *count) override
    {
        *count = 0;
        return FtOk;
    }
    int getDeviceInfoList(FtDeviceListInfoNode *, quint32 *count) override
    {
        *count = 0;
        return FtOk;
    }
    int open(int, FtHandle *) override { return FtDeviceNotFound; }
    int close(FtHandle) override { return FtInvalidHandle; }
    int resetDevice(FtHandle) override { return FtInvalidHandle; }
    int purge(FtHandle, quint32) override { return FtInvalidHandle; }
    int setTimeouts(FtHandle, quint32, quint32) override { return FtInvalidHandle; }
    int setChars(FtHandle, quint8, bool, quint8, bool) override { return FtInvalidHandle; }
    int setUsbParameters(FtHandle, quint32, quint32) override { return FtInvalidHandle; }
    int setLatencyTimer(FtHandle, quint8) override { return FtInvalidHandle; }
    int setEventNotification(FtHandle, quint32, AutoResetEvent *) override
    {
        return FtInvalidHandle;
    }
    int getQueueStatus(FtHandle, quint32 *) override { return FtInvalidHandle; }
    int getStatus(FtHandle, quint32 *, quint32 *, quint32 *) override { return FtInvalidHandle; }
    int read(FtHandle, void *, quint32, quint32 *) override { return FtInvalidHandle; }
    int write(FtHandle, const void *, quint32, quint32 *) override { return FtInvalidHandle; }
    int stopInTask(FtHandle) override { return FtInvalidHandle; }
};

} // namespace

FtdiDriver &usbFtdiDriver()
{
    static NoUsbDriver driver;
    return driver;
}
