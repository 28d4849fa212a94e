#include "protocol/programmer.h"

#include "protocol/commands.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <array>
#include <cmath>

using namespace Npx4Protocol;

namespace {

// Firmware versions (major * 256 + minor) that single commands need.
constexpr quint16 AnyFirmware = 0x0000;
constexpr quint16 Firmware11 = 0x0101;
constexpr quint16 Firmware14 = 0x0104;

constexpr int MinimumPeriod = 20;
constexpr int BadBlockListTimeout = 1000;
constexpr int FastEraseTryTimeout = 500;
constexpr int FastEraseTimeout = 5000;
constexpr unsigned MaxEraseCount = Geometry::BlockCount;

const char ShortWriteText[] =
    QT_TRANSLATE_NOOP("Programmer", "Send failed: %1 of %2 bytes written");

// Low 8 bits of the integer part of `value`; values that have no integer part give 0.
quint8 lowBitsOfIntegerPart(double value)
{
    if (!std::isfinite(value))
        return 0;
    return quint8(qint64(std::fmod(std::trunc(value), 256.0)) & 0xFF);
}

} // namespace

Programmer::Result Programmer::checkCommand(quint16 minFirmware, bool reportNotConnected)
{
    if (!connected) {
        if (reportNotConnected)
            error = tr("Supported programmer device is not connected");
        return ResultNotConnected;
    }
    if (firmwareVersion < minFirmware)
        return ResultUnsupported;
    return ResultOk;
}

Programmer::Result Programmer::exchange(quint8 *command)
{
    if (!sendCommand(command) || !receiveAnswer(command, answerTimeout, true))
        return ResultTransferFailed;
    return decodeAnswer(command);
}

Programmer::Result Programmer::runCommand(quint8 *command, quint16 minFirmware,
                                          bool reportNotConnected)
{
    const Result result = checkCommand(minFirmware, reportNotConnected);
    return result == ResultOk ? exchange(command) : result;
}

Programmer::Result Programmer::runConfigure(quint8 function, quint8 p3, quint8 p4,
                                            quint16 minFirmware, bool reportNotConnected)
{
    CommandBytes command{CommandMarker, CmdConfigure, function, p3, p4};
    return runCommand(command.data(), minFirmware, reportNotConnected);
}

Programmer::Result Programmer::receivePhase(char *data, qint64 length, int timeout)
{
    unreadPhase = length;
    return receiveData(data, length, timeout) == length ? ResultOk : ResultTransferFailed;
}

Programmer::Result Programmer::checkBlockCommand()
{
    return checkCommand(AnyFirmware, true);
}

Programmer::Result Programmer::startBlockCommand(quint8 code, int block, qint64 incoming)
{
    CommandBytes command = wordCommand(code, block);
    if (incoming == 0)
        return sendCommand(command.data()) ? ResultOk : ResultTransferFailed;
    const Result answer = exchange(command.data());
    // A damaged answer may still be followed by the data: it is dropped before the next command.
    if (answer == ResultOk || (answer == ResultTransferFailed && connected))
        unreadPhase = incoming;
    return answer;
}

Programmer::Result Programmer::sendBlockData(const char *data, qint64 length)
{
    const qint64 written = sendData(data, length);
    if (written == length)
        return ResultOk;
    // A failed write has left its text; a short one has none yet.
    if (written >= 0)
        error = tr(ShortWriteText).arg(written).arg(length);
    return ResultTransferFailed;
}

Programmer::Result Programmer::receiveBlockData(char *data, qint64 length)
{
    return receiveData(data, length, answerTimeout) == length ? ResultOk : ResultTransferFailed;
}

Programmer::Result Programmer::finishBlockCommand()
{
    CommandBytes answer{};
    if (!receiveAnswer(answer.data(), answerTimeout, true))
        return ResultTransferFailed;
    return decodeAnswer(answer.data());
}

void Programmer::setError(const QString &text)
{
    error = text;
}

Programmer::Result Programmer::getInfo(ProgrammerInfo *info)
{
    const Result ready = checkCommand(AnyFirmware, true);
    if (ready != ResultOk)
        return ready;
    CommandBytes answer{CommandMarker, CmdGetInfo, 0, 0, 0};
    // A device that cannot even report itself is left alone until it is plugged in again.
    if (!sendCommand(answer.data()) || !receiveAnswer(answer.data(), answerTimeout, true)) {
        reconnectRequired = true;
        return ResultTransferFailed;
    }
    const Result result = decodeAnswer(answer.data());
    if (result == ResultOk && info) {
        info->level = float(answer[2] / 255.0 * double(3.6f));
        info->major = answer[3];
        info->minor = answer[4];
        info->blockCount = Geometry::BlockCount;
        firmwareVersion = quint16(answer[3] << 8 | answer[4]);
    }
    return result;
}

Programmer::Result Programmer::power(bool on)
{
    CommandBytes command{CommandMarker, on ? CmdPowerOn : CmdPowerOff, 0, 0, 0};
    return runCommand(command.data(), AnyFirmware, true);
}

Programmer::Result Programmer::setMode(int mode)
{
    return runConfigure(CfgMode, 0, quint8(mode), AnyFirmware, true);
}

Programmer::Result Programmer::setPeriod(int period, float fraction)
{
    period = std::max(period, MinimumPeriod);
    return runConfigure(CfgPeriod, lowBitsOfIntegerPart(period * double(fraction) / 10),
                        quint8(period / 10), Firmware11, false);
}

Programmer::Result Programmer::setParameter(quint8 value)
{
    return runConfigure(CfgParameter, 0, value, Firmware11, false);
}

Programmer::Result Programmer::setEccMode(quint8 value)
{
    return runConfigure(CfgEcc, value, 0, Firmware14, false);
}

Programmer::Result Programmer::setUseEcc(bool on)
{
    eccWanted = on;
    return setEccMode(on ? EccSpareSize : 0);
}

bool Programmer::eccActive() const
{
    return eccWanted && firmwareVersion >= Firmware14;
}

Programmer::Result Programmer::readBlockMarks(int block, quint8 *marks)
{
    marks[0] = 0;
    marks[1] = 0;
    CommandBytes answer = wordCommand(CmdBlockCheck, block, 0);
    const Result result = runCommand(answer.data(), AnyFirmware, true);
    if (result == ResultOk) {
        marks[0] = answer[3];
        marks[1] = answer[4];
    }
    return result;
}

Programmer::Result Programmer::readBadBlockList(QList<int> &blocks)
{
    CommandBytes answer = wordCommand(CmdBlockCheck, BlockListMarker, BlockListFlag);
    const Result result = runCommand(answer.data(), Firmware11, false);
    if (result != ResultOk)
        return result;
    const int count = answer[4];
    QByteArray entries(2 * count, '\0');
    if (receivePhase(entries.data(), entries.size(), BadBlockListTimeout) != ResultOk)
        return ResultTransferFailed;
    const auto *bytes = reinterpret_cast<const quint8 *>(entries.constData());
    blocks.clear();
    blocks.reserve(count);
    for (int i = 0; i < count; ++i)
        blocks.append(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return ResultOk;
}

Programmer::Result Programmer::eraseBlock(int block, bool flag)
{
    CommandBytes command = wordCommand(CmdErase, block, flag ? EraseInPlaceFlag : 0);
    return runCommand(command.data(), AnyFirmware, true);
}

Programmer::Result Programmer::fastErase(unsigned count, bool flag)
{
    const Result ready = checkCommand(Firmware11, false);
    if (ready != ResultOk)
        return ready;
    // The frame carries count - 1: a count of 0 would go out as 65536 blocks.
    if (count == 0)
        return ResultOk;
    const unsigned blocks = std::min(count, MaxEraseCount);
    const quint8 form = flag ? EraseSeveralBlocks | EraseInPlaceFlag : EraseSeveralBlocks;
    CommandBytes answer = wordCommand(CmdErase, int(blocks - 1), form);
    if (!sendCommand(answer.data()))
        return ResultTransferFailed;

    // Erasing many blocks takes longer than an ordinary answer: wait in short tries without
    // giving up the connection between them.
    QElapsedTimer timer;
    timer.start();
    error.clear();
    while (timer.elapsed() < FastEraseTimeout) {
        QCoreApplication::processEvents();
        if (receiveAnswer(answer.data(), FastEraseTryTimeout, false))
            return decodeAnswer(answer.data());
        // The link broke and has been closed: no answer can come any more.
        if (!connected)
            return ResultTransferFailed;
    }
    return ResultTransferFailed;
}

Programmer::Result Programmer::markBad(int block)
{
    CommandBytes command = wordCommand(CmdMarkBad, block, 0);
    return runCommand(command.data(), AnyFirmware, true);
}

Programmer::Result Programmer::readId(QByteArray &id)
{
    CommandBytes answer{CommandMarker, CmdReadId, 0, 0, 0};
    const Result result = runCommand(answer.data(), Firmware11, false);
    if (result != ResultOk)
        return result;
    id = QByteArray(answer[2], '\0');
    return receivePhase(id.data(), id.size(), answerTimeout);
}
