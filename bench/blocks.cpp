// Throughput of whole-block reads and programs with ECC through the whole stack: BlockTransfer,
// Programmer, Ftd and the simulated programmer's driver at unlimited link rate. Reports MB/s of
// page data over all blocks of the chip.
#include "simulatedprogrammer.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <functional>

namespace {

double megabytesPerSecond(qint64 bytes, qint64 nsecs)
{
    return double(bytes) / (1024.0 * 1024.0) / (double(nsecs) / 1e9);
}

// Runs `operation` on every block and then, untimed, `check` when given; returns the time spent
// inside the operations, or -1 after a failure (reported on stderr).
qint64 timeAllBlocks(Programmer &programmer, const char *name,
                     const std::function<Programmer::Result(int)> &operation,
                     const std::function<bool(int)> &check = {})
{
    qint64 nsecs = 0;
    for (int block = 0; block < Programmer::blockCount(); ++block) {
        QElapsedTimer timer;
        timer.start();
        const Programmer::Result result = operation(block);
        nsecs += timer.nsecsElapsed();
        if (result != Programmer::ResultOk) {
            std::fprintf(stderr, "%s of block %d failed: %s\n", name, block,
                         qPrintable(programmer.errorString()));
            return -1;
        }
        if (check && !check(block)) {
            std::fprintf(stderr, "%s of block %d gave wrong data\n", name, block);
            return -1;
        }
    }
    return nsecs;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    SimulatedProgrammer simulated(QByteArray("link=instant;nand-timing=0:0:0"));
    if (!simulated.ready)
        return 1;
    Programmer &programmer = *simulated.programmer;
    BlockTransfer &transfer = *simulated.transfer;

    const int blockSize = Programmer::blockSize();
    const QByteArray image = randomChipImage();
    const qint64 total = image.size();
    const auto slice = [&](int block) {
        return QByteArray::fromRawData(image.constData() + qint64(block) * blockSize, blockSize);
    };
    const auto program = [&](int block) { return transfer.programBlock(block, slice(block)); };
    QByteArray data;
    const auto read = [&](int block) { return transfer.readBlock(block, data); };
    const auto readCorrectly = [&](int block) { return data == slice(block); };

    // The first pass touches the chip's memory for the first time: timed, but apart.
    const qint64 cold = timeAllBlocks(programmer, "program", program);
    if (cold < 0 ||
        programmer.fastErase(unsigned(Programmer::blockCount()), false) != Programmer::ResultOk)
        return 1;
    const qint64 programmed = timeAllBlocks(programmer, "program", program);
    const qint64 readBack = timeAllBlocks(programmer, "read", read, readCorrectly);
    if (programmed < 0 || readBack < 0)
        return 1;

    std::printf("programBlock (first touch of the chip) %8.0f MB/s\n",
                megabytesPerSecond(total, cold));
    std::printf("programBlock                           %8.0f MB/s\n",
                megabytesPerSecond(total, programmed));
    std::printf("readBlock                              %8.0f MB/s\n",
                megabytesPerSecond(total, readBack));
    FtdiDriver::install(nullptr);
    return 0;
}
