#include "usb/usbstatus.h"
#include "usb/ftdidriver.h"

int ftStatusFromOpenResult(int result)
{
    switch (result) {
    case 0:
        return FtOk;
    case -3:  // the configuration could not be set: a kernel driver holds the device
    case -4:  // libusb_open() failed: no permission on the device node, or it has just gone
    case -5:  // the interface could not be claimed: another program holds it
    case -8:  // no permission to detach the kernel driver
    case -11: // the kernel driver could not be detached
        return FtDeviceNotOpened;
    default: // reset, baud rate or descriptor requests failed on the opened device
        return FtIoError;
    }
}
