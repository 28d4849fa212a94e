#include "support/simdriverguard.h"

SimDriverGuard::SimDriverGuard(int programmers)
    : owned(std::make_unique<SimDriver>(programmers)), installed(owned.get())
{
    FtdiDriver::setInstance(installed);
}

SimDriverGuard::SimDriverGuard(SimDriver &driver) : installed(&driver)
{
    FtdiDriver::setInstance(installed);
}

SimDriverGuard::~SimDriverGuard()
{
    FtdiDriver::setInstance(nullptr);
}
