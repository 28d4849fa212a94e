#include "protocol/programmer.h"

#include "protocol/commands.h"
#include "protocol/logging.h"
#include "usb/ftd.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstring>
#include <vector>

using namespace Npx4Protocol;

namespace {

constexpr quint16 CrcPolynomial = 0x1021;

// CRC register after feeding one byte into a zero register, most significant bit first.
constexpr quint16 crcOfByte(quint8 byte)
{
    quint16 crc = quint16(byte << 8);
    for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 0x8000) ? quint16((crc << 1) ^ CrcPolynomial) : quint16(crc << 1);
    return crc;
}

// The byte table split by nibbles: the CRC is linear, so the entry of a byte is the XOR of the
// entries of its high nibble (hi) and its low nibble (lo).
struct NibbleTables
{
    quint16 lo[16];
    quint16 hi[16];
};

constexpr NibbleTables makeNibbleTables()
{
    NibbleTables tables{};
    for (int n = 0; n < 16; ++n) {
        tables.lo[n] = crcOfByte(quint8(n));
        tables.hi[n] = crcOfByte(quint8(n << 4));
    }
    return tables;
}

constexpr NibbleTables crcTables = makeNibbleTables();
static_assert(crcTables.lo[1] == CrcPolynomial, "the entry of byte 1 is the polynomial");

const char SendFailedText[] = QT_TRANSLATE_NOOP("Programmer", "Send failed: %1");
const char ReceiveFailedText[] = QT_TRANSLATE_NOOP("Programmer", "Receive data failed: %1");

// What one transfer of the driver brings: a receive waits for this much while bytes keep coming.
constexpr qint64 ReceiveChunk = 4096;

} // namespace

quint16 Programmer::crc16(const quint8 *data, qint64 length)
{
    quint16 crc = 0;
    for (qint64 k = 0; k < length; ++k) {
        const quint8 i = quint8((crc >> 8) ^ data[k]);
        crc = quint16(crcTables.hi[i >> 4] ^ crcTables.lo[i & 0x0F] ^ (crc << 8));
    }
    return crc;
}

QString Programmer::errorString() const
{
    return error;
}

void Programmer::transferFailed(const char *text, const QString &reason)
{
    error = tr(text).arg(reason);
    closeDevice();
}

bool Programmer::channelUsable(const char *failureText)
{
    if (ftd->isOpen())
        return true;
    transferFailed(failureText, Ftd::errorText(FtDeviceNotOpened));
    return false;
}

qint64 Programmer::sendData(const char *data, qint64 length)
{
    if (!channelUsable(SendFailedText))
        return -1;
    const qint64 written = ftd->write(data, length);
    if (written < 0) {
        transferFailed(SendFailedText, ftd->errorString());
        return -1;
    }
    return written;
}

qint64 Programmer::receiveData(char *data, qint64 length, int timeout)
{
    if (length <= 0)
        return 0;
    QElapsedTimer clock;
    clock.start();
    qint64 lastData = 0;
    // The time-out counts from the last bytes received; waiting in quarters of it lets the
    // calling thread serve its events a few times while the device is silent. The last wait
    // ends with the time-out rather than a whole quarter later.
    const int slice = timeout / 4;
    qint64 remaining = length;
    while (remaining > 0) {
        if (!channelUsable(ReceiveFailedText))
            return -1;
        qint64 received = 0;
        // While bytes keep coming, the wait goes on until a driver transfer's worth is there.
        const qint64 wanted = qMin(remaining, ReceiveChunk);
        const int wait =
            int(qMin<qint64>(slice, qMax<qint64>(1, timeout - (clock.elapsed() - lastData))));
        if (ftd->waitForBytes(wanted, wait)) {
            received = ftd->read(data + (length - remaining), remaining);
            if (received < 0) {
                transferFailed(ReceiveFailedText, ftd->errorString());
                return -1;
            }
        }
        if (received > 0) {
            remaining -= received;
            unreadPhase = qMax<qint64>(0, unreadPhase - received);
            // Fewer bytes than waited for: the wait ended in a slice of silence after them.
            lastData = clock.elapsed() - (received < wanted ? wait : 0);
            continue;
        }
        // A wake-up without bytes counts as a silent slice, so a spurious one cannot keep the
        // loop away from its time-out.
        if (clock.elapsed() - lastData >= timeout) {
            error = tr("Receive timeout");
            qCDebug(lcProtocol) << "Receive timeout (remains" << remaining << "bytes)";
            // Silent for the whole time-out: the device has nothing more to send.
            unreadPhase = 0;
            return -1;
        }
        QCoreApplication::processEvents();
    }
    return length;
}

bool Programmer::sendCommand(const quint8 *command)
{
    if (reconnectRequired) {
        error = tr("Device reconnection required!");
        return false;
    }
    // Bytes left over from an aborted exchange must not be taken for this command's answer.
    if (!drainUnreadPhase())
        return false;
    if (ftd->isOpen())
        ftd->purge();
    quint8 frame[FrameSize];
    std::memcpy(frame, command, PayloadSize);
    const quint16 crc = crc16(frame, PayloadSize);
    frame[PayloadSize] = quint8(crc & 0xFF);
    frame[PayloadSize + 1] = quint8(crc >> 8);
    return sendData(reinterpret_cast<const char *>(frame), FrameSize) == FrameSize;
}

bool Programmer::drainUnreadPhase()
{
    if (unreadPhase <= 0 || !ftd->isOpen()) {
        unreadPhase = 0;
        return true;
    }
    qCDebug(lcProtocol) << "Dropping the rest of an abandoned data phase:" << unreadPhase
                        << "bytes";
    const QString cause = error;
    std::vector<char> sink(size_t(qMin(unreadPhase, ReceiveChunk)));
    while (unreadPhase > 0) {
        if (receiveData(sink.data(), qMin(unreadPhase, ReceiveChunk), answerTimeout) < 0)
            break;
    }
    unreadPhase = 0;
    if (!connected)
        return false;
    error = cause;
    return true;
}

bool Programmer::receiveAnswer(quint8 *answer, int timeout, bool closeOnFailure)
{
    if (reconnectRequired) {
        error = tr("Device reconnection required!");
        return false;
    }
    quint8 frame[FrameSize];
    if (receiveData(reinterpret_cast<char *>(frame), FrameSize, timeout) != FrameSize) {
        if (closeOnFailure)
            closeDevice();
        return false;
    }
    // A corrupted answer leaves the link usable: the next command purges and starts afresh.
    if (!checkAnswer(frame)) {
        qCDebug(lcProtocol)
            << "Invalid answer received:"
            << QByteArray(reinterpret_cast<const char *>(frame), FrameSize).toHex().constData();
        error = tr("Received data CRC check failed");
        return false;
    }
    std::memcpy(answer, frame, PayloadSize);
    return true;
}

bool Programmer::checkAnswer(const quint8 *frame)
{
    return crc16(frame, PayloadSize) == (frame[PayloadSize] | frame[PayloadSize + 1] << 8);
}

Programmer::Result Programmer::decodeAnswer(const quint8 *answer)
{
    if (answer[0] != ErrorAnswerMarker)
        return ResultOk;
    const quint32 status = quint32(answer[1]) | quint32(answer[2]) << 8 | quint32(answer[3]) << 16 |
                           quint32(answer[4]) << 24;
    switch (status) {
    case StatusInvalidOperation:
        error = tr("Invalid operation");
        return ResultInvalidOperation;
    case StatusOperationError:
        error = tr("Operation error");
        return ResultOperationError;
    case StatusBusyNotActivated:
        error = tr("Busy signal is not activated");
        return ResultBusyNotActivated;
    case StatusBusyTimeout:
        error = tr("Busy signal is in active state more than %1 ms").arg(BusyTimeoutMs);
        return ResultBusyTimeout;
    default:
        error = tr("Operation error (code 0x%1)").arg(status, 0, 16);
        return ResultOperationError;
    }
}

void Programmer::closeDevice()
{
    // The mode command below fails through this very sequence when the link is broken; it
    // must not start it again.
    if (closing)
        return;
    closing = true;
    if (connected) {
        // The user is shown what started the closing, not the failure of the farewell.
        const QString rootCause = error;
        setMode(ModeOff);
        error = rootCause;
    }
    ftd->close();
    connected = false;
    unreadPhase = 0;
    closing = false;
}
