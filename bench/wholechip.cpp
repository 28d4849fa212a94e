// Whole-chip read, verify and auto-write (erase, program, verify per block) with ECC through
// the whole stack, on the simulated programmer as it comes by default: a high-speed bridge at
// 8 MB/s with 512-byte packets, the host's 2 ms latency timer, and NAND timing of 25 us per
// page read, 300 us per page program and 2 ms per block erase.
//
// Each operation's wall time is set against its floor, the time the link and the chip cannot
// go below. Per exchange:
//   floor = (command + answer + data bytes) / rate
//         + chip time the device cannot overlap with the link
//           (read: the first page, 25 us; erase: 2 ms; program: the first page's transfer,
//            then 64 x max(300 us, page / rate), the pages' transfer hidden behind the chip)
//         + the latency timer (2 ms) when the answer ends in a partly filled packet.
// CPU time is the process's user and system time over the same span.
#include "blockloop.h"
#include "protocol/commands.h"
#include "simulatedprogrammer.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sys/resource.h>

namespace {

constexpr double Rate = 8e6;
constexpr double Latency = 2e-3;
constexpr qint64 Packet = 512;
constexpr double PageRead = 25e-6;
constexpr double PageProgram = 300e-6;
constexpr double BlockErase = 2e-3;
constexpr qint64 Frame = 7;
constexpr qint64 PageBytes = Geometry::PageSize + Npx4Protocol::EccSpareSize;
constexpr int Pages = Geometry::PagesPerBlock;

double transfer(qint64 bytes)
{
    return double(bytes) / Rate;
}

// An answer of `bytes`: a partly filled last packet waits for the latency timer.
double answer(qint64 bytes)
{
    return transfer(bytes) + (bytes % Packet ? Latency : 0.0);
}

double readFloor()
{
    return transfer(Frame) + PageRead + answer(Frame + Pages * PageBytes);
}

double eraseFloor()
{
    return transfer(Frame) + BlockErase + answer(Frame);
}

double programFloor()
{
    return transfer(Frame) + transfer(PageBytes) +
           Pages * std::max(PageProgram, transfer(PageBytes)) + answer(Frame);
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs `operation` on every block; prints wall, floor and CPU; false after a failure.
bool measure(Programmer &programmer, int blocks, const char *name, double floorPerBlock,
             const std::function<Programmer::Result(int)> &operation)
{
    const double cpuBefore = cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    if (!forEachBlock(programmer, blocks, name, operation))
        return false;
    const double wall = double(timer.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    const double floor = floorPerBlock * blocks;
    std::printf("%-10s wall %7.2f s  floor %7.2f s  wall/floor %.3f  cpu %6.2f s = %4.1f %% of "
                "wall\n",
                name, wall, floor, wall / floor, cpu, 100.0 * cpu / wall);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // An optional first argument limits the run to that many blocks.
    const int blocks = argc > 1 ? std::clamp(QByteArray(argv[1]).toInt(), 1, Geometry::BlockCount)
                                : Geometry::BlockCount;
    SimulatedProgrammer simulated{QByteArray()};
    if (!simulated.ready)
        return 1;
    Programmer &programmer = *simulated.programmer;
    BlockTransfer &transfer = *simulated.transfer;
    const int blockSize = Programmer::blockSize();
    const QByteArray image = randomChipImage();
    const auto slice = [&](int block) {
        return QByteArray::fromRawData(image.constData() + qint64(block) * blockSize, blockSize);
    };
    QByteArray data;
    const bool ok =
        measure(programmer, blocks, "auto-write", eraseFloor() + programFloor() + readFloor(),
                [&](int block) {
                    Programmer::Result result = programmer.eraseBlock(block, false);
                    if (result == Programmer::ResultOk)
                        result = transfer.programBlock(block, slice(block));
                    return result == Programmer::ResultOk
                               ? transfer.verifyBlock(block, slice(block))
                               : result;
                }) &&
        measure(programmer, blocks, "read", readFloor(),
                [&](int block) { return transfer.readBlock(block, data); }) &&
        measure(programmer, blocks, "verify", readFloor(),
                [&](int block) { return transfer.verifyBlock(block, slice(block)); });
    return ok ? 0 : 1;
}
