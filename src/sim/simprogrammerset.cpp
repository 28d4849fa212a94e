#include "sim/simprogrammerset.h"

#include "sim/nandchip.h"
#include "sim/simdriver.h"
#include "sim/simfirmware.h"
#include "sim/simownerlock.h"

SimProgrammerSet::SimProgrammerSet(const SimConfig &config)
    : simDriver(std::make_unique<SimDriver>())
{
    error = config.isValid() ? setUp(config) : config.errorString();
    if (!error.isEmpty()) {
        firmwares.clear();
        chips.clear();
        ownerLocks.clear();
        return;
    }
    for (size_t i = 0; i < firmwares.size(); ++i) {
        const SimConfig own = config.forProgrammer(int(i) + 1);
        SimDevice &device = simDriver->device(simDriver->addProgrammer(firmwares[i].get()));
        device.setRate(own.linkRate());
        device.setPacketSize(own.packetSize());
        device.setOwnerLock(ownerLocks[i].get());
    }
}

SimProgrammerSet::SimProgrammerSet(const QByteArray &configText)
    : SimProgrammerSet(SimConfig::parse(configText))
{}

SimProgrammerSet::~SimProgrammerSet() = default;

// Builds the chips and firmwares; returns what went wrong, or an empty text.
QString SimProgrammerSet::setUp(const SimConfig &config)
{
    for (int i = 0; i < config.programmers; ++i) {
        const SimConfig own = config.forProgrammer(i + 1);
        auto chip = std::make_unique<NandChip>();
        if (own.chipId.isEmpty())
            chip->remove();
        else
            chip->setId(own.chipId);
        // Two chips cannot share one file: only programmer 1, and those naming their own,
        // keep their chips in one.
        if (!own.storage.isEmpty()) {
            QString reason;
            if (!chip->attachStorage(own.storage, &reason)) {
                return QStringLiteral("storage \"%1\" cannot be used: %2").arg(own.storage, reason);
            }
        }
        // One process at a time drives the chip in a file, as with a real programmer.
        ownerLocks.push_back(own.storage.isEmpty() ? nullptr
                                                   : std::make_unique<SimOwnerLock>(own.storage));
        chip->setFactoryBad(own.badBlocks);
        chip->setEraseFail(own.eraseFail);
        chip->setWearLimit(own.wear);
        for (const SimConfig::ProgramFail &fail : own.programFails)
            chip->addProgramFail(fail.block, fail.page);
        for (const SimConfig::Flip &flip : own.flips)
            chip->addDataFlip(flip.block, flip.offset, flip.bit);
        // Each chip flips bits of its own: the programmers do not share one sequence.
        chip->setRandomFlips(own.flipRate, own.seed + quint64(i));
        auto firmware = std::make_unique<SimFirmware>(chip.get());
        firmware->setChipTiming(std::chrono::microseconds(own.pageReadUs),
                                std::chrono::microseconds(own.pageProgramUs),
                                std::chrono::microseconds(own.blockEraseUs));
        firmware->setVersion(own.firmwareMajor, own.firmwareMinor);
        firmware->setInBootLoader(own.bootLoader);
        firmware->setUnplugAtCommand(own.unplugAtCommand);
        chips.push_back(std::move(chip));
        firmwares.push_back(std::move(firmware));
    }
    return {};
}
