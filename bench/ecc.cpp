// Throughput of the page code: computing it and checking clean pages, over a chip's worth of
// random pages (128 MiB) on one thread, against memcpy of the same buffer as the yardstick. Each
// figure is the best of five rounds, so that a busy machine disturbs the ratios less.
#include "nand/ecc.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr qsizetype BufferSize = Geometry::ImageSize;
constexpr qsizetype PageCount = BufferSize / EccPageSize;

constexpr int Rounds = 5;

// Best time of one piece of work over the rounds, as MB/s of the buffer.
struct Rate
{
    qint64 best = std::numeric_limits<qint64>::max();

    template <typename Work>
    void measure(Work work)
    {
        QElapsedTimer timer;
        timer.start();
        work();
        best = std::min(best, timer.nsecsElapsed());
    }
    double megabytesPerSecond() const
    {
        return double(BufferSize) / (1024.0 * 1024.0) / (double(best) / 1e9);
    }
};

} // namespace

int main()
{
    std::vector<uchar> data(BufferSize);
    std::vector<uchar> copied(BufferSize);
    std::vector<uchar> spares(PageCount * EccSpareRecordSize);
    QRandomGenerator random(42);
    random.fillRange(reinterpret_cast<quint32 *>(data.data()), BufferSize / 4);
    std::memset(copied.data(), 0, BufferSize); // touch the pages before timing

    // The three take turns, so that load from elsewhere on the machine hits them alike.
    Rate copy;
    Rate calc;
    Rate check;
    int damaged = 0;
    for (int round = 0; round < Rounds; ++round) {
        copy.measure([&] { std::memcpy(copied.data(), data.data(), BufferSize); });
        calc.measure([&] {
            for (qsizetype p = 0; p < PageCount; ++p)
                fillSpareRecord(&data[p * EccPageSize], &spares[p * EccSpareRecordSize]);
        });
        check.measure([&] {
            for (qsizetype p = 0; p < PageCount; ++p) {
                for (const EccOutcome &o :
                     correctPageEcc(&data[p * EccPageSize], &spares[p * EccSpareRecordSize]))
                    damaged += o.kind != EccOutcome::Clean;
            }
        });
    }
    if (damaged || std::memcmp(copied.data(), data.data(), BufferSize) != 0) {
        std::fprintf(stderr, "clean pages were reported or changed: %d outcomes\n", damaged);
        return 1;
    }

    const double copyRate = copy.megabytesPerSecond();
    std::printf("memcpy         %8.0f MB/s\n", copyRate);
    std::printf("calcPageEcc    %8.0f MB/s  %.2f x memcpy\n", calc.megabytesPerSecond(),
                calc.megabytesPerSecond() / copyRate);
    std::printf("correctPageEcc %8.0f MB/s  %.2f x memcpy\n", check.megabytesPerSecond(),
                check.megabytesPerSecond() / copyRate);
    return 0;
}
