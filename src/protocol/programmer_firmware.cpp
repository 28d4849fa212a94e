#include "protocol/programmer.h"

#include "protocol/commands.h"
#include "protocol/logging.h"

#include <QCoreApplication>
#include <QFile>
#include <QtEndian>

using namespace Npx4Protocol;

namespace {

// Every step of the upload waits at most this long for the boot loader.
constexpr int BootLoaderTimeout = 100;
const char FirmwareImagePath[] = ":/firmware.bin";
const char UpgradeFailedText[] =
    QT_TRANSLATE_NOOP("Programmer", "Programmer firmware upgrade failed.");

bool isReadyCode(const quint8 *answer)
{
    return qFromLittleEndian<quint32>(answer) == FwReadyWord && answer[4] == FwReadyLastByte;
}

} // namespace

Programmer::Result Programmer::upgradeFirmware()
{
    const quint8 command[PayloadSize] = {CommandMarker, CmdFwUpgrade, FwEntryCode[0],
                                         FwEntryCode[1], FwEntryCode[2]};
    // The device answers by switching to its boot loader, which then answers the probe.
    if (!sendCommand(command))
        return ResultTransferFailed;
    return runFirmwareUpload() ? ResultOk : ResultTransferFailed;
}

bool Programmer::probeBootLoader(quint8 *answer)
{
    const char probe = char(FwProbe);
    if (sendData(&probe, 1) != 1) {
        qCDebug(lcProtocol) << "FW update code send failed";
        return false;
    }
    if (!receiveAnswer(answer, BootLoaderTimeout, false)) {
        qCDebug(lcProtocol) << "FW update is not required";
        return false;
    }
    return true;
}

bool Programmer::bootLoaderAnswers()
{
    quint8 answer[PayloadSize];
    return probeBootLoader(answer) && isReadyCode(answer);
}

bool Programmer::runFirmwareUpload()
{
    quint8 answer[PayloadSize];
    if (!probeBootLoader(answer))
        return false;

    bool uploaded = false;
    if (!isReadyCode(answer)) {
        qCWarning(lcProtocol)
            << "Oops! Programmer sends invalid ready answer for firmware upgrade command!";
        error = tr("Programmer failure detected.");
    } else {
        qCDebug(lcProtocol) << "Programmer is ready for firmware upgrade...";
        uploaded = streamFirmwareImage();
    }
    // The boot loader restarts the device whatever the outcome: it has to be enumerated anew.
    reconnectRequired = true;
    emit info(tr("Please reconnect programmer to computer."));
    return uploaded;
}

bool Programmer::streamFirmwareImage()
{
    QFile image(QString::fromLatin1(FirmwareImagePath));
    if (!image.open(QIODevice::ReadOnly))
        qCWarning(lcProtocol).noquote() << image.errorString();
    const int max = int(image.size());
    emit fwUpgradeProgress(0, max);
    char piece[FwPieceSize];
    while (image.isOpen()) {
        const qint64 length = image.read(piece, FwPieceSize);
        if (length <= 0)
            break;
        if (sendData(piece, length) != length) {
            error = tr(UpgradeFailedText);
            return false;
        }
        emit fwUpgradeProgress(int(image.pos()), max);
        QCoreApplication::processEvents();
    }
    emit fwUpgradeProgress(max, max);
    image.close();

    char ack = 0;
    if (receiveData(&ack, 1, BootLoaderTimeout) == 1 && quint8(ack) == FwAckOk) {
        emit info(tr("Programmer firmware upgrade successfully finished."));
        return true;
    }
    error = tr(UpgradeFailedText);
    return false;
}
