// Start-up of the command-line program: `npx4-cli info` on the simulated programmer, from start
// to exit, against `npx4-cli --version`, which loads the same libraries and leaves at once. Each
// figure is the best of ten runs, with the median beside it.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int Runs = 10;

// The wall seconds of each run of npx4-cli with `arguments`, in ascending order; empty when a run
// failed.
std::vector<double> runTimes(const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NPX4_SIMULATOR"), QStringLiteral("1"));
    std::vector<double> times;
    for (int run = 0; run < Runs; ++run) {
        QProcess process;
        process.setProcessEnvironment(environment);
        QElapsedTimer timer;
        timer.start();
        process.start(QStringLiteral(NPX4_CLI_PATH), arguments);
        if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0) {
            return {};
        }
        times.push_back(double(timer.nsecsElapsed()) / 1e9);
    }
    std::sort(times.begin(), times.end());
    return times;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const std::vector<double> version = runTimes({QStringLiteral("--version")});
    const std::vector<double> info = runTimes({QStringLiteral("info")});
    if (version.empty() || info.empty()) {
        std::fprintf(stderr, "npx4-cli failed\n");
        return 1;
    }
    const auto print = [](const char *what, const std::vector<double> &times) {
        std::printf("%-24s best %5.3f s, median %5.3f s\n", what, times.front(),
                    times[times.size() / 2]);
    };
    print("npx4-cli --version:", version);
    print("npx4-cli info:", info);
    std::printf("info - --version (best): %.3f s\n", info.front() - version.front());
    return 0;
}
