// Loading a whole 128 MiB image file into the engine's buffer, with its CRC32, MD5 and SHA1,
// against `md5sum` of the same file as the yardstick. The file is read once before timing so
// that both runs find it in the page cache; each figure is the best of three runs, with the CPU
// time of all its threads. The first load of an engine is shown apart: it also maps the memory of
// the array it loads into.
#include "engine/aprogrammer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <limits>
#include <sys/resource.h>

namespace {

constexpr qint64 ImageSize = qint64(1024) * 131072;
constexpr int Runs = 3;

// CPU seconds used so far by this process and its waited-for children, all threads.
double cpuSeconds()
{
    double total = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        getrusage(who, &usage);
        total += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

struct Timing
{
    double wall = -1; // seconds; negative when the work failed
    double cpu = 0;
};

// The run with the shortest wall time, with the CPU time it took.
template <typename Work>
Timing best(Work work, int runs = Runs)
{
    Timing fastest{std::numeric_limits<double>::max(), 0};
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        const double cpuBefore = cpuSeconds();
        timer.start();
        if (!work())
            return {};
        const double wall = double(timer.nsecsElapsed()) / 1e9;
        if (wall < fastest.wall)
            fastest = {wall, cpuSeconds() - cpuBefore};
    }
    return fastest;
}

double megabytesPerSecond(double seconds)
{
    return double(ImageSize) / (1024.0 * 1024.0) / seconds;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.bin"));
    {
        QByteArray image(ImageSize, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(image.data()), image.size() / 4);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != ImageSize) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }

    const auto md5sum = [&] {
        QProcess process;
        process.start(QStringLiteral("md5sum"), {path});
        return process.waitForFinished(-1) && process.exitCode() == 0;
    };
    md5sum(); // brings the file into the page cache
    const Timing md5sumTiming = best(md5sum);

    AProgrammer engine;
    const auto load = [&] {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) && engine.loadBuffer(&file);
    };
    const Timing first = best(load, 1);
    const Timing loads = best(load);
    if (md5sumTiming.wall < 0 || first.wall < 0 || loads.wall < 0) {
        std::fprintf(stderr, "md5sum or the load failed\n");
        return 1;
    }

    const auto print = [](const char *what, const Timing &timing) {
        std::printf("%-24s %7.1f MB/s, CPU %4.0f ms\n", what, megabytesPerSecond(timing.wall),
                    timing.cpu * 1000);
    };
    print("md5sum:", md5sumTiming);
    print("loadBuffer + 3 digests:", loads);
    print("first load:", first);
    std::printf("load speed / md5sum speed: %.2f\n", md5sumTiming.wall / loads.wall);
    return 0;
}
