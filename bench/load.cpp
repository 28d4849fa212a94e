// Loading a whole 128 MiB image file into the engine's buffer, with its CRC32, MD5 and SHA1,
// against `md5sum` of the same file as the yardstick, and against reading the file with one of
// MD5 and SHA1 alone, the slower of which bounds a load that computes them side by side. The
// file is read once before timing so that every run finds it in the page cache; each figure is
// the best of three runs, with the CPU time of all its threads. The first load of an engine is
// shown apart: it also maps the memory of the array it loads into.
#include "engine/aprogrammer.h"
#include "engine/digest.h"
#include "protocol/geometry.h"
#include "usb/programmerbackend.h"

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

using Geometry::ImageSize;
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

    // Loading needs no programmer: a simulated bus with none on it.
    const QString backendError = ProgrammerBackend(QStringLiteral("sim:programmers=0")).install();
    if (!backendError.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(backendError));
        return 1;
    }
    AProgrammer engine;
    const auto load = [&] {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) && engine.loadBuffer(&file);
    };
    const Timing first = best(load, 1);
    const Timing loads = best(load);

    const auto digestAlone = [&](Digest::Algorithm algorithm) {
        return best([&] {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly))
                return false;
            Digest digest(algorithm);
            QByteArray block(Geometry::BlockSize, Qt::Uninitialized);
            qint64 got = 0;
            while ((got = file.read(block.data(), block.size())) > 0)
                digest.addData(QByteArrayView(block.constData(), got));
            return got == 0 && !digest.result().isEmpty();
        });
    };
    const Timing md5Alone = digestAlone(Digest::Md5);
    const Timing sha1Alone = digestAlone(Digest::Sha1);
    if (md5sumTiming.wall < 0 || first.wall < 0 || loads.wall < 0 || md5Alone.wall < 0 ||
        sha1Alone.wall < 0) {
        std::fprintf(stderr, "md5sum, the load or a digest failed\n");
        return 1;
    }
    const Timing &slowerAlone = md5Alone.wall > sha1Alone.wall ? md5Alone : sha1Alone;

    const auto print = [](const char *what, const Timing &timing) {
        std::printf("%-24s %7.1f MB/s, CPU %4.0f ms\n", what, megabytesPerSecond(timing.wall),
                    timing.cpu * 1000);
    };
    print("md5sum:", md5sumTiming);
    print("loadBuffer + 3 digests:", loads);
    print("first load:", first);
    print("MD5 alone:", md5Alone);
    print("SHA1 alone:", sha1Alone);
    std::printf("load speed / md5sum speed: %.2f\n", md5sumTiming.wall / loads.wall);
    std::printf("load CPU / md5sum CPU: %.2f\n", loads.cpu / md5sumTiming.cpu);
    std::printf("load speed / slower digest alone speed: %.2f\n", slowerAlone.wall / loads.wall);
    return 0;
}
