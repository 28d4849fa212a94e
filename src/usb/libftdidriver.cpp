#include "usb/libftdidriver.h"
#include "usb/libftdidevice.h"
#include "usb/logging.h"
#include "usb/usbsysfs.h"

#include <algorithm>
#include <cstring>
#include <ftdi.h>
#include <libusb.h>

namespace {

// Type field of the information record: the chip type is not told apart.
constexpr quint32 UnknownDeviceType = 3;
// libftdi opens interface A of a chip, so that interface tells whether a program holds it.
constexpr int OpenedInterface = 0;
// USB allows at most seven tiers of hubs.
constexpr int MaxPortDepth = 7;

// Copies `text` into a zero-terminated field, cut to fit.
template <size_t Size>
void copyText(const QByteArray &text, char (&field)[Size])
{
    std::memset(field, 0, Size);
    std::memcpy(field, text.constData(), qMin(size_t(text.size()), Size - 1));
}

} // namespace

LibftdiDriver::LibftdiDriver() = default;

LibftdiDriver::~LibftdiDriver()
{
    // Open devices use the enumeration's libusb context, so they are closed before it goes.
    openDevices.clear();
    releaseList();
    if (context)
        ftdi_free(context);
}

void LibftdiDriver::releaseList()
{
    ftdi_list_free(&deviceList);
    devices.clear();
    nodes.clear();
}

int LibftdiDriver::createDeviceInfoList(quint32 *count)
{
    QMutexLocker locker(&listMutex);
    *count = 0;
    releaseList();
    if (!context)
        context = ftdi_new();
    if (!context) {
        if (!usbUnavailableLogged)
            qCWarning(lcUsb) << "Cannot list FTDI devices: libusb could not be initialised";
        usbUnavailableLogged = true;
        return FtOtherError;
    }
    const int found = ftdi_usb_find_all(context, &deviceList, 0, 0);
    if (found < 0) {
        qCWarning(lcUsb).nospace() << "Cannot list FTDI devices: " << ftdi_get_error_string(context)
                                   << " (" << found << ")";
        // A failure part way leaves a partial list behind.
        releaseList();
        return FtIoError;
    }
    for (ftdi_device_list *entry = deviceList; entry; entry = entry->next) {
        devices.push_back(entry->dev);
        nodes.push_back(describe(entry->dev));
    }
    *count = quint32(nodes.size());
    return FtOk;
}

FtDeviceListInfoNode LibftdiDriver::describe(libusb_device *device)
{
    FtDeviceListInfoNode node;
    node.type = UnknownDeviceType;
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) == 0)
        node.id = quint32(descriptor.idVendor) << 16 | descriptor.idProduct;
    const int bus = libusb_get_bus_number(device);
    node.locId = quint32(bus) << 8 | libusb_get_device_address(device);

    // Whether a program holds the device is read from sysfs instead of being tried. A program
    // that drives the chip through libusb (libftdi, or this tool in another process) has
    // claimed its interface through usbfs, which sysfs shows as the interface's driver
    // "usbfs". Reading that touches neither the device nor its owner, whereas a claim attempt
    // would hold the interface for a moment (making the owner's own claim fail if it came
    // then) and would have to detach the kernel's serial driver first. That serial driver
    // being bound is the normal state of an idle chip: it is detached only when the device is
    // opened. Where sysfs is not available the flag stays clear, and opening a held device
    // fails with "Device not opened".
    uint8_t ports[MaxPortDepth];
    const int depth = libusb_get_port_numbers(device, ports, MaxPortDepth);
    const QList<int> portPath(ports, ports + qMax(0, depth));
    if (usbInterfaceDriver(QLatin1String(UsbSysfsRoot), bus, portPath, OpenedInterface) ==
        QLatin1String("usbfs"))
        node.flags |= FtFlagOpened;

    // Reading the strings opens the device node only, which does not disturb a program that
    // holds the device.
    const int result = ftdi_usb_get_strings2(context, device, nullptr, 0, node.description,
                                             int(sizeof node.description), node.serialNumber,
                                             int(sizeof node.serialNumber));
    // Some failures leave the device open in the enumeration context.
    if (context->usb_dev)
        ftdi_usb_close(context);
    if (result < 0) {
        // The kernel read the strings when the device arrived and shows them to every user,
        // so a programmer whose node this user may not open is still recognised, and opening
        // it then fails with a reason instead of the programmer seeming absent.
        copyText(usbDeviceAttribute(QLatin1String(UsbSysfsRoot), bus, portPath,
                                    QStringLiteral("product")),
                 node.description);
        copyText(usbDeviceAttribute(QLatin1String(UsbSysfsRoot), bus, portPath,
                                    QStringLiteral("serial")),
                 node.serialNumber);
        if (!unreadableDevices.contains(node.locId))
            qCWarning(lcUsb).nospace()
                << "Cannot read the description of the FTDI device at bus " << bus << ", address "
                << (node.locId & 0xff) << ": " << ftdi_get_error_string(context)
                << "; check the access rights to its device node (udev rule)";
        unreadableDevices.insert(node.locId);
    }

    QMutexLocker locker(&handleMutex);
    for (auto it = openDevices.cbegin(); it != openDevices.cend(); ++it) {
        if (it.value()->usbDevice() == device)
            node.handle = it.key();
    }
    return node;
}

int LibftdiDriver::getDeviceInfoList(FtDeviceListInfoNode *nodesOut, quint32 *count)
{
    QMutexLocker locker(&listMutex);
    if (!nodesOut && *count > 0)
        return FtInvalidParameter;
    const quint32 copied = qMin(*count, quint32(nodes.size()));
    std::copy_n(nodes.cbegin(), copied, nodesOut);
    *count = copied;
    return FtOk;
}

int LibftdiDriver::open(int index, FtHandle *handle)
{
    *handle = nullptr;
    libusb_device *usbDevice;
    {
        QMutexLocker locker(&listMutex);
        if (index < 0 || size_t(index) >= devices.size())
            return FtDeviceNotFound;
        // The reference keeps the device while a new enumeration replaces the list.
        usbDevice = libusb_ref_device(devices[size_t(index)]);
    }
    std::unique_ptr<LibftdiDevice> opened;
    const int status = LibftdiDevice::open(usbDevice, &opened);
    libusb_unref_device(usbDevice);
    if (status != FtOk)
        return status;
    std::shared_ptr<LibftdiDevice> device(std::move(opened));
    *handle = device.get();
    QMutexLocker locker(&handleMutex);
    openDevices.insert(*handle, std::move(device));
    return FtOk;
}

int LibftdiDriver::close(FtHandle handle)
{
    std::shared_ptr<LibftdiDevice> closing;
    {
        QMutexLocker locker(&handleMutex);
        closing = openDevices.take(handle);
    }
    // The device closes when the last reference goes, outside the lock: stopping its reader
    // can take one USB read.
    return closing ? FtOk : FtInvalidHandle;
}

template <typename Operation>
int LibftdiDriver::onDevice(FtHandle handle, Operation operation) const
{
    std::shared_ptr<LibftdiDevice> device;
    {
        QMutexLocker locker(&handleMutex);
        device = openDevices.value(handle);
    }
    return device ? operation(*device) : FtInvalidHandle;
}

int LibftdiDriver::resetDevice(FtHandle handle)
{
    return onDevice(handle, [](LibftdiDevice &device) { return device.resetDevice(); });
}

int LibftdiDriver::purge(FtHandle handle, quint32 mask)
{
    return onDevice(handle, [=](LibftdiDevice &device) { return device.purge(mask); });
}

int LibftdiDriver::setTimeouts(FtHandle handle, quint32 readMs, quint32 writeMs)
{
    return onDevice(handle,
                    [=](LibftdiDevice &device) { return device.setTimeouts(readMs, writeMs); });
}

int LibftdiDriver::setChars(FtHandle handle, quint8 eventChar, bool eventEnabled, quint8 errorChar,
                            bool errorEnabled)
{
    return onDevice(handle, [=](LibftdiDevice &device) {
        return device.setChars(eventChar, eventEnabled, errorChar, errorEnabled);
    });
}

int LibftdiDriver::setUsbParameters(FtHandle handle, quint32 inSize, quint32 outSize)
{
    return onDevice(
        handle, [=](LibftdiDevice &device) { return device.setUsbParameters(inSize, outSize); });
}

int LibftdiDriver::setLatencyTimer(FtHandle handle, quint8 ms)
{
    return onDevice(handle, [=](LibftdiDevice &device) { return device.setLatencyTimer(ms); });
}

int LibftdiDriver::setEventNotification(FtHandle handle, quint32 mask, AutoResetEvent *event)
{
    return onDevice(
        handle, [=](LibftdiDevice &device) { return device.setEventNotification(mask, event); });
}

int LibftdiDriver::getQueueStatus(FtHandle handle, quint32 *rxBytes)
{
    *rxBytes = 0;
    return onDevice(handle, [=](LibftdiDevice &device) { return device.getQueueStatus(rxBytes); });
}

int LibftdiDriver::getStatus(FtHandle handle, quint32 *rxBytes, quint32 *txBytes,
                             quint32 *eventStatus)
{
    *rxBytes = *txBytes = *eventStatus = 0;
    return onDevice(handle, [=](LibftdiDevice &device) {
        return device.getStatus(rxBytes, txBytes, eventStatus);
    });
}

int LibftdiDriver::read(FtHandle handle, void *buffer, quint32 size, quint32 *received)
{
    *received = 0;
    return onDevice(handle,
                    [=](LibftdiDevice &device) { return device.read(buffer, size, received); });
}

int LibftdiDriver::write(FtHandle handle, const void *buffer, quint32 size, quint32 *written)
{
    *written = 0;
    return onDevice(handle,
                    [=](LibftdiDevice &device) { return device.write(buffer, size, written); });
}

int LibftdiDriver::stopInTask(FtHandle handle)
{
    return onDevice(handle, [](LibftdiDevice &device) { return device.stopInTask(); });
}

FtdiDriver &usbFtdiDriver()
{
    static LibftdiDriver driver;
    return driver;
}
