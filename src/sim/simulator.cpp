#include "sim/simdriver.h"
#include "sim/simprogrammerset.h"

#include <memory>

FtdiDriver *simulatedFtdiDriver(const QByteArray &keys, QString *error)
{
    // The process's channels use this driver until the process ends: it is never replaced.
    static std::unique_ptr<SimProgrammerSet> programmers;
    if (programmers)
        qFatal("The simulated programmers are set up once per process");
    auto set = std::make_unique<SimProgrammerSet>(keys);
    if (!set->isValid()) {
        *error = set->errorString();
        return nullptr;
    }
    programmers = std::move(set);
    return &programmers->driver();
}
