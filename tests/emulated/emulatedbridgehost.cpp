#include "emulated/emulatedftdibridge.h"
#include "sim/nandchip.h"
#include "sim/simfirmware.h"

#include <QCoreApplication>
#include <QProcess>
#include <cstdio>

// Plugs an emulated FTDI bridge with a simulated programmer behind it into a fresh umockdev
// test bed, runs the given command (which inherits the test bed) and exits with its status.
// Usage, under umockdev-wrapper: emulatedbridgehost PROGRAM [ARGUMENTS...]
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (!EmulatedFtdiBridge::available())
        return 77;
    NandChip chip;
    SimFirmware firmware(&chip);
    EmulatedFtdiBridge bridge(&firmware);

    // The command must reach the bridge through the real USB driver.
    qunsetenv("NPX4_SIMULATOR");
    QProcess command;
    command.setProcessChannelMode(QProcess::ForwardedChannels);
    command.start(app.arguments().value(1), app.arguments().mid(2));
    if (!command.waitForFinished(-1) || command.exitStatus() != QProcess::NormalExit) {
        std::fprintf(stderr, "emulatedbridgehost: %s\n", qPrintable(command.errorString()));
        return 1;
    }
    return command.exitCode();
}
