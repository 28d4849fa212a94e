#pragma once

#include "sim/simdriver.h"

#include <memory>

// Installs a SimDriver as the process's FTDI driver for the guard's lifetime, then uninstalls
// it. Channels that use the driver must be gone before the guard is.
class SimDriverGuard
{
public:
    // A fresh driver with `programmers` programmers without device end, owned by the guard.
    explicit SimDriverGuard(int programmers = 0);
    // Someone else's driver.
    explicit SimDriverGuard(SimDriver &driver);
    ~SimDriverGuard();
    SimDriverGuard(const SimDriverGuard &) = delete;
    SimDriverGuard &operator=(const SimDriverGuard &) = delete;

    SimDriver &driver() const { return *installed; }
    SimDriver *operator->() const { return installed; }

private:
    std::unique_ptr<SimDriver> owned;
    SimDriver *installed;
};
