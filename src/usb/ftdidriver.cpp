#include "usb/ftdidriver.h"

#include <QAtomicPointer>

namespace {
QAtomicPointer<FtdiDriver> installedDriver;
} // namespace

FtdiDriver &FtdiDriver::instance()
{
    FtdiDriver *driver = installedDriver.loadAcquire();
    if (!driver)
        qFatal("No FTDI driver is installed: start-up selects a programmer backend first");
    return *driver;
}

void FtdiDriver::install(FtdiDriver *driver)
{
    installedDriver.storeRelease(driver);
}
