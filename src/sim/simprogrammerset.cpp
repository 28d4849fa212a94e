#include "sim/simprogrammerset.h"

#include "sim/logging.h"
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
        return;
    }
    for (size_t i = 0; i < firmwares.size(); ++i) {
        SimDevice &device = simDriver->device(simDriver->addProgrammer(firmwares[i].get()));
        device.setRate(config.linkRate());
        device.setPacketSize(config.packetSize());
    }
    if (!config.storage.isEmpty() && !firmwares.empty()) {
        // One process at a time drives the chip in the file, as with a real programmer.
        ownerLock = std::make_unique<SimOwnerLock>(config.storage);
        simDriver->device(0).setOwnerLock(ownerLock.get());
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
        auto chip = std::make_unique<NandChip>();
        if (config.chipId.isEmpty())
            chip->remove();
        else
            chip->setId(config.chipId);
        // Only the first chip keeps its contents in the file: two chips cannot share one.
        if (i == 0 && !config.storage.isEmpty()) {
            QString reason;
            if (!chip->attachStorage(config.storage, &reason)) {
                return QStringLiteral("NPX4_SIMULATOR: storage \"%1\" cannot be used: %2")
                    .arg(config.storage, reason);
            }
            if (config.programmers > 1) {
                qCDebug(lcSim) << "Only the first simulated programmer keeps its chip in"
                               << config.storage << "- the others hold theirs in memory";
            }
        }
        chip->setFactoryBad(config.badBlocks);
        chip->setEraseFail(config.eraseFail);
        chip->setWearLimit(config.wear);
        for (const SimConfig::ProgramFail &fail : config.programFails)
            chip->addProgramFail(fail.block, fail.page);
        for (const SimConfig::Flip &flip : config.flips)
            chip->addDataFlip(flip.block, flip.offset, flip.bit);
        // Each chip flips bits of its own: the programmers do not share one sequence.
        chip->setRandomFlips(config.flipRate, config.seed + quint64(i));
        auto firmware = std::make_unique<SimFirmware>(chip.get());
        firmware->setChipTiming(std::chrono::microseconds(config.pageReadUs),
                                std::chrono::microseconds(config.pageProgramUs),
                                std::chrono::microseconds(config.blockEraseUs));
        firmware->setVersion(config.firmwareMajor, config.firmwareMinor);
        firmware->setInBootLoader(config.bootLoader);
        chips.push_back(std::move(chip));
        firmwares.push_back(std::move(firmware));
    }
    return {};
}
