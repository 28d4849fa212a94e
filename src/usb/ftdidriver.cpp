#include "usb/ftdidriver.h"

#include <QAtomicPointer>

namespace {
QAtomicPointer<FtdiDriver> installedDriver;

FtdiDriver &chooseDriver()
{
    return qEnvironmentVariableIsSet("NPX4_SIMULATOR") ? simulatedFtdiDriver() : usbFtdiDriver();
}
} // namespace

FtdiDriver &FtdiDriver::instance()
{
    if (FtdiDriver *driver = installedDriver.loadAcquire())
        return *driver;
    static FtdiDriver &chosen = chooseDriver();
    return chosen;
}

void FtdiDriver::setInstance(FtdiDriver *driver)
{
    installedDriver.storeRelease(driver);
}
