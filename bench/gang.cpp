// Gang mode of npx4-cli against four simulated programmers whose links run at 8 MB/s: each
// auto-writes the same 64-block image, first one programmer alone, then all four at once in
// the same run. The gang should take at most 1.15 times as long as one programmer alone; the
// CPU time of each run (user and system, of npx4-cli and its threads) is reported beside.
#include "protocol/geometry.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/resource.h>

namespace {

constexpr int ImageBlocks = 64;
constexpr qint64 BlockSize = Geometry::BlockSize;
constexpr double Target = 1.15;

struct Figures
{
    double wallSeconds = -1;
    double cpuSeconds = 0;
};

double childCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs npx4-cli with `arguments` to its end; a negative wall time when it failed.
Figures runCli(const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NPX4_SIMULATOR"),
                       QStringLiteral("programmers=4;rate=8000000"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const double cpuBefore = childCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral(NPX4_CLI_PATH), arguments);
    Figures figures;
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        std::fprintf(stderr, "npx4-cli %s failed\n", qPrintable(arguments.join(QLatin1Char(' '))));
        return figures;
    }
    figures.wallSeconds = double(timer.nsecsElapsed()) / 1e9;
    figures.cpuSeconds = childCpuSeconds() - cpuBefore;
    return figures;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString imagePath = dir.filePath(QStringLiteral("image.bin"));
    QByteArray image(ImageBlocks * BlockSize, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(image.data()), image.size() / 4);
    QFile file(imagePath);
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
        std::fprintf(stderr, "cannot write the image\n");
        return 1;
    }
    file.close();

    const QStringList command = {QStringLiteral("auto-write"), imagePath,
                                 QStringLiteral("--blocks"),
                                 QStringLiteral("0-%1").arg(ImageBlocks - 1), QStringLiteral("-q")};
    const Figures alone =
        runCli(command + QStringList{QStringLiteral("--device"), QStringLiteral("0")});
    const Figures gang =
        runCli(command + QStringList{QStringLiteral("--device"), QStringLiteral("all")});
    if (alone.wallSeconds < 0 || gang.wallSeconds < 0)
        return 1;
    const double ratio = gang.wallSeconds / alone.wallSeconds;
    std::printf("one programmer alone:   %6.2f s wall, %6.2f s CPU\n", alone.wallSeconds,
                alone.cpuSeconds);
    std::printf("four programmers, gang: %6.2f s wall, %6.2f s CPU\n", gang.wallSeconds,
                gang.cpuSeconds);
    std::printf("gang / alone:           %6.2f (target <= %.2f): %s\n", ratio, Target,
                ratio <= Target ? "met" : "MISSED");
    // A missed target is a figure to look at, not a failure of the benchmark.
    return 0;
}
