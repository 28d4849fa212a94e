#pragma once

#include "usb/ftdidriver.h"

#include <QHash>
#include <QMutex>
#include <QSet>
#include <memory>
#include <vector>

class LibftdiDevice;
struct ftdi_context;
struct ftdi_device_list;
struct libusb_device;

// The FTDI driver over libftdi1: enumerates the attached FTDI bridges (the common vendor and
// product ids), opens them by their position in the last enumeration and hands out one
// LibftdiDevice per open handle. Safe to call from several threads.
class LibftdiDriver final : public FtdiDriver
{
public:
    LibftdiDriver();
    ~LibftdiDriver() override;

    int createDeviceInfoList(quint32 *count) override;
    int getDeviceInfoList(FtDeviceListInfoNode *nodes, quint32 *count) override;
    int open(int index, FtHandle *handle) override;
    int close(FtHandle handle) override;
    int resetDevice(FtHandle handle) override;
    int purge(FtHandle handle, quint32 mask) override;
    int setTimeouts(FtHandle handle, quint32 readMs, quint32 writeMs) override;
    int setChars(FtHandle handle, quint8 eventChar, bool eventEnabled, quint8 errorChar,
                 bool errorEnabled) override;
    int setUsbParameters(FtHandle handle, quint32 inSize, quint32 outSize) override;
    int setLatencyTimer(FtHandle handle, quint8 ms) override;
    int setEventNotification(FtHandle handle, quint32 mask, AutoResetEvent *event) override;
    int getQueueStatus(FtHandle handle, quint32 *rxBytes) override;
    int getStatus(FtHandle handle, quint32 *rxBytes, quint32 *txBytes,
                  quint32 *eventStatus) override;
    int read(FtHandle handle, void *buffer, quint32 size, quint32 *received) override;
    int write(FtHandle handle, const void *buffer, quint32 size, quint32 *written) override;
    int stopInTask(FtHandle handle) override;

private:
    // Runs `operation` on the device behind `handle`; FtInvalidHandle for an unknown handle.
    // The device stays alive for the call even if another thread closes the handle meanwhile.
    template <typename Operation>
    int onDevice(FtHandle handle, Operation operation) const;
    // The information record of one enumerated device (called with listMutex held).
    FtDeviceListInfoNode describe(libusb_device *device);
    void releaseList();

    // Guards the enumeration: the libftdi context it uses and the devices it found.
    QMutex listMutex;
    ftdi_context *context = nullptr;
    ftdi_device_list *deviceList = nullptr;
    std::vector<libusb_device *> devices;
    std::vector<FtDeviceListInfoNode> nodes;
    // Devices whose description could not be read, so the reason is logged once per device.
    QSet<quint32> unreadableDevices;
    bool usbUnavailableLogged = false;

    // Guards the open devices, keyed by their handles.
    mutable QMutex handleMutex;
    QHash<FtHandle, std::shared_ptr<LibftdiDevice>> openDevices;
};
