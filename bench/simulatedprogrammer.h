// Set-up shared by the benchmarks: the first simulated programmer of a configuration, opened
// and powered with ECC in use with its block transfers, and a chip's worth of random data.
#pragma once

#include "nand/blocktransfer.h"
#include "protocol/programmer.h"
#include "sim/simdriver.h"
#include "sim/simprogrammerset.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <cstdio>
#include <memory>

// The programmers of `config`, their driver installed, and the first one ready.
struct SimulatedProgrammer
{
    explicit SimulatedProgrammer(const QByteArray &config) : set(config)
    {
        QLoggingCategory::setFilterRules(QStringLiteral("npx4.*.debug=false"));
        FtdiDriver::install(&set.driver());
        programmer = std::make_unique<Programmer>();
        transfer = std::make_unique<BlockTransfer>(*programmer);
        ready = programmer->open(0) && programmer->power(true) == Programmer::ResultOk &&
                programmer->eccActive();
        if (!ready) {
            std::fprintf(stderr, "simulated programmer not ready: %s\n",
                         qPrintable(programmer->errorString()));
        }
    }

    SimProgrammerSet set;
    std::unique_ptr<Programmer> programmer;
    std::unique_ptr<BlockTransfer> transfer;
    bool ready = false;
};

// Random data for the whole chip, the same for every run.
inline QByteArray randomChipImage()
{
    QByteArray image(qint64(Programmer::blockSize()) * Programmer::blockCount(), Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(image.data()), image.size() / 4);
    return image;
}
