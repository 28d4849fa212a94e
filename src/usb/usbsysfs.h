#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Where Linux lists USB devices and their interfaces.
inline constexpr char UsbSysfsRoot[] = "/sys/bus/usb/devices";

// The attribute `name` of the USB device on bus `bus` reached through the hub ports `portPath`
// ("product", "serial", ...: the kernel reads the strings when the device arrives and shows them
// to every user), without surrounding white space; empty when sysfs does not show it.
QByteArray usbDeviceAttribute(const QString &root, int bus, const QList<int> &portPath,
                              const QString &name);

// Name of the kernel driver bound to interface `interfaceNumber` of the USB device on bus `bus`
// reached through the hub ports `portPath`, as sysfs under `root` shows it: "usbfs" when a
// program has claimed the interface through libusb, "ftdi_sio" for the kernel's serial driver.
// Empty when nothing is bound, the device is not configured or sysfs does not show it.
QString usbInterfaceDriver(const QString &root, int bus, const QList<int> &portPath,
                           int interfaceNumber);
