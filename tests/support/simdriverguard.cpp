#include "support/simdriverguard.h"

SimDriverGuard::SimDriverGuard(int programmers)
    : owned(std::make_unique<SimDriver>(programmers)), installed(owned.get())
{
    FtdiDriver::install(installed);
}

SimDriverGuard::SimDriverGuard(SimDriver &driver) : installed(&driver)
{
    FtdiDriver::install(installed);
}

SimDriverGuard::~SimDriverGuard()
{
    FtdiDriver::install(nullptr);
}
