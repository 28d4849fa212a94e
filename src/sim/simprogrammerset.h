#pragma once

#include "sim/simconfig.h"

#include <QString>
#include <memory>
#include <vector>

class NandChip;
class SimDriver;
class SimFirmware;
class SimOwnerLock;

// The simulated programmers of one configuration: a driver that lists them and, per programmer,
// its NAND chip and firmware, set up as the configuration says. simulatedFtdiDriver() builds
// one from the keys of the backend start-up chose; tests build their own from a configuration
// text and install its driver with FtdiDriver::install().
//
// A configuration that is invalid, or whose storage file cannot be used, gives a driver that
// lists no device, with the reason in errorString().
class SimProgrammerSet
{
public:
    explicit SimProgrammerSet(const SimConfig &config);
    explicit SimProgrammerSet(const QByteArray &configText);
    ~SimProgrammerSet();
    SimProgrammerSet(const SimProgrammerSet &) = delete;
    SimProgrammerSet &operator=(const SimProgrammerSet &) = delete;

    bool isValid() const { return error.isEmpty(); }
    QString errorString() const { return error; }

    int count() const { return int(firmwares.size()); }
    SimDriver &driver() const { return *simDriver; }
    // Programmer `i` is device `i` of the driver.
    SimFirmware &firmware(int i) const { return *firmwares.at(size_t(i)); }
    NandChip &chip(int i) const { return *chips.at(size_t(i)); }

private:
    QString setUp(const SimConfig &config);

    QString error;
    // Declared before the driver, so that the driver (whose scheduler calls into the
    // firmwares) is gone before they are.
    std::vector<std::unique_ptr<NandChip>> chips;
    std::vector<std::unique_ptr<SimFirmware>> firmwares;
    // Each programmer's claim on its storage file; null for a chip in memory.
    std::vector<std::unique_ptr<SimOwnerLock>> ownerLocks;
    std::unique_ptr<SimDriver> simDriver;
};
