#include "sim/logging.h"
#include "sim/simdriver.h"
#include "sim/simprogrammerset.h"

namespace {

// The programmers NPX4_SIMULATOR asks for; a configuration error is logged once, and the driver
// then lists no device.
struct ConfiguredProgrammers : SimProgrammerSet
{
    ConfiguredProgrammers() : SimProgrammerSet(qgetenv("NPX4_SIMULATOR"))
    {
        if (!isValid())
            qCCritical(lcSim).noquote() << errorString();
    }
};

} // namespace

FtdiDriver &simulatedFtdiDriver()
{
    static const ConfiguredProgrammers programmers;
    return programmers.driver();
}
