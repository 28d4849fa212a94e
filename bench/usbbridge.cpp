// Throughput of whole-block programs and reads with ECC through the real USB driver: Programmer,
// Ftd, LibftdiDriver, libftdi1 and libusb, against an FT232H bridge emulated with umockdev with
// the simulated programmer behind it. Reports MB/s of page data and CPU time per MB, and where
// that CPU time goes: per thread, and the usbfs calls the emulation answered. The emulated bus
// has no bandwidth limit, so the figures measure the host's own cost per byte (plus the
// emulation's), not a real chip's link.
#include "blockloop.h"
#include "emulated/emulatedftdibridge.h"
#include "nand/blocktransfer.h"
#include "protocol/programmer.h"
#include "sim/nandchip.h"
#include "sim/simfirmware.h"
#include "usb/ftdidriver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QMap>
#include <QRandomGenerator>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <unistd.h>

namespace {

constexpr int Blocks = 64;
constexpr double MiB = 1024.0 * 1024.0;

// CPU seconds each thread of this process has used so far, by thread name.
QMap<QString, double> threadCpu()
{
    QMap<QString, double> seconds;
    const double ticks = double(sysconf(_SC_CLK_TCK));
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks.filePath(task + QStringLiteral("/stat")));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const int open = line.indexOf('('), close = line.lastIndexOf(')');
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
        const QString name = task == QString::number(getpid())
                                 ? QStringLiteral("caller")
                                 : QString::fromLatin1(line.mid(open + 1, close - open - 1));
        seconds[name] += (fields.value(11).toDouble() + fields.value(12).toDouble()) / ticks;
    }
    return seconds;
}

double processCpu()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Runs `operation` on the first Blocks blocks and prints the figures; false after a failure.
bool measure(const char *name, EmulatedFtdiBridge &bridge, Programmer &programmer,
             const std::function<Programmer::Result(int)> &operation)
{
    const QMap<QString, double> threadsBefore = threadCpu();
    const EmulatedFtdiBridge::Record before = bridge.record();
    const double cpuBefore = processCpu();
    QElapsedTimer timer;
    timer.start();
    if (!forEachBlock(programmer, Blocks, name, operation))
        return false;
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const double cpu = processCpu() - cpuBefore;
    const double megabytes = double(Blocks) * Programmer::blockSize() / MiB;
    const EmulatedFtdiBridge::Record record = bridge.record();
    std::printf("%-12s %7.2f MB/s  %6.1f ms CPU per MB  %6.0f usbfs calls and %4.0f "
                "latency timer expiries per MB\n",
                name, megabytes / seconds, 1000.0 * cpu / megabytes,
                double(record.ioctls - before.ioctls) / megabytes,
                double(record.latencyExpiries - before.latencyExpiries) / megabytes);
    const QMap<QString, double> threadsAfter = threadCpu();
    for (auto it = threadsAfter.cbegin(); it != threadsAfter.cend(); ++it) {
        const double used = it.value() - threadsBefore.value(it.key());
        if (used > 0.005)
            std::printf("    %-16s %6.1f ms CPU per MB\n", qPrintable(it.key()),
                        1000.0 * used / megabytes);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    // The emulation needs umockdev's library preloaded: start again with it.
    if (!EmulatedFtdiBridge::unavailableReason().isEmpty() &&
        !std::getenv("NPX4_BENCH_PRELOADED")) {
        setenv("NPX4_BENCH_PRELOADED", "1", 1);
        setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
        const QByteArray self =
            QFile::symLinkTarget(QStringLiteral("/proc/self/exe")).toLocal8Bit();
        execv(self.constData(), argv);
    }
    const QString reason = EmulatedFtdiBridge::unavailableReason();
    if (!reason.isEmpty()) {
        std::fprintf(stderr, "usbbridge: skipped: %s\n", qPrintable(reason));
        return 0;
    }
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("npx4.*.debug=false"));
    NandChip chip;
    SimFirmware firmware(&chip);
    EmulatedFtdiBridge bridge(&firmware);
    FtdiDriver::install(&usbFtdiDriver());
    Programmer programmer;
    if (!programmer.open(0) || programmer.power(true) != Programmer::ResultOk ||
        !programmer.eccActive()) {
        std::fprintf(stderr, "programmer behind the emulated bridge not ready: %s\n",
                     qPrintable(programmer.errorString()));
        return 1;
    }

    BlockTransfer transfer(programmer);
    const int blockSize = Programmer::blockSize();
    QByteArray image(qint64(blockSize) * Blocks, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(image.data()), image.size() / 4);
    QByteArray data;
    const bool ok = measure("programBlock", bridge, programmer,
                            [&](int block) {
                                return transfer.programBlock(
                                    block, image.mid(qint64(block) * blockSize, blockSize));
                            }) &&
                    measure("readBlock", bridge, programmer, [&](int block) {
                        const Programmer::Result result = transfer.readBlock(block, data);
                        return result == Programmer::ResultOk &&
                                       data != image.mid(qint64(block) * blockSize, blockSize)
                                   ? Programmer::ResultVerifyFailed
                                   : result;
                    });
    FtdiDriver::install(nullptr);
    return ok ? 0 : 1;
}
