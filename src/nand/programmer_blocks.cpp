// Whole-block transfers of the Programmer: programming, reading with ECC check and retries,
// verifying and blank checking. They run on the operation thread, one block per call.
#include "protocol/programmer.h"

#include "nand/ecc.h"
#include "nand/logging.h"
#include "protocol/commands.h"

#include <QCoreApplication>
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

using namespace Npx4Protocol;

namespace {

constexpr int PagesPerBlock = 64;
constexpr int PagesPerChunk = 8;
constexpr int ReadAttempts = 3;
constexpr quint16 AnyFirmware = 0x0000; // the block commands exist in every firmware version
static_assert(PagesPerBlock * EccPageSize == 131072, "a block is 64 pages of 2048 bytes");
static_assert(EccSpareRecordSize == EccSpareSize, "the device moves the whole spare record");

const char OversizedText[] =
    QT_TRANSLATE_NOOP("Programmer", "Data for block %1 is larger than a block (%2 bytes)");
const char ShortWriteText[] =
    QT_TRANSLATE_NOOP("Programmer", "Send failed: %1 of %2 bytes written");
const char VerifyFailedText[] = QT_TRANSLATE_NOOP(
    "Programmer", "Verify failed for block %1 at 0x%2: expected 0x%3, actual 0x%4");
const char NotBlankText[] = QT_TRANSLATE_NOOP(
    "Programmer", "Block %1 is not clean: offset 0x%2, expected 0x%3, actual 0x%4");

QString translated(const char *text)
{
    return QCoreApplication::translate("Programmer", text);
}

// The texts of a difference found by verify or blank check: block, offset, wanted, found.
QString differenceText(const char *text, int block, qsizetype offset, uchar wanted, uchar found)
{
    return translated(text)
        .arg(block)
        .arg(offset, 5, 16, QLatin1Char('0'))
        .arg(wanted, 2, 16, QLatin1Char('0'))
        .arg(found, 2, 16, QLatin1Char('0'));
}

QString eccOutcomeText(const EccOutcome &outcome, int block, int page)
{
    switch (outcome.kind) {
    case EccOutcome::DamagedCode:
        return translated(
                   QT_TRANSLATE_NOOP("Programmer",
                                     "Damaged ECC code found (block %1, page %2, subpage %3)"))
            .arg(block)
            .arg(page)
            .arg(outcome.subpage);
    case EccOutcome::Corrected:
        return translated(QT_TRANSLATE_NOOP("Programmer",
                                            "Correctable error found and fixed (block %1, "
                                            "offset 0x%2, bit %3)"))
            .arg(block)
            .arg(page * EccPageSize + outcome.offset, 6, 16, QLatin1Char('0'))
            .arg(outcome.bit);
    case EccOutcome::Uncorrectable:
        return translated(QT_TRANSLATE_NOOP(
                              "Programmer",
                              "Uncorrectable ECC error found (block %1, page %2, subpage %3)"))
            .arg(block)
            .arg(page)
            .arg(outcome.subpage);
    case EccOutcome::Clean:
        break;
    }
    return QString();
}

// Offset of the first byte where a and b differ, or -1. Compares page by page with memcmp and
// looks at single bytes only inside the first page that differs.
qsizetype firstDifference(const char *a, const char *b, qsizetype size)
{
    for (qsizetype start = 0; start < size; start += EccPageSize) {
        const qsizetype length = std::min<qsizetype>(EccPageSize, size - start);
        if (std::memcmp(a + start, b + start, size_t(length)) != 0)
            return std::mismatch(a + start, a + start + length, b + start).first - a;
    }
    return -1;
}

// The contents of an erased block.
const QByteArray &erasedBlock()
{
    static const QByteArray erased(PagesPerBlock * EccPageSize, '\xff');
    return erased;
}

} // namespace

Programmer::Result Programmer::programBlock(int block, const QByteArray &data)
{
    const Result ready = checkCommand(AnyFirmware, true);
    if (ready != ResultOk)
        return ready;
    if (data.size() > blockSize()) {
        error = translated(OversizedText).arg(block).arg(data.size());
        return ResultInvalidOperation;
    }
    const bool ecc = eccActive();
    if (!ecc && firstDifference(erasedBlock().constData(), data.constData(), data.size()) < 0)
        return ResultOk;

    CommandBytes command = wordCommand(CmdProgramBlock, block);
    if (!sendCommand(command.data()))
        return ResultTransferFailed;
    if (data.size() < blockSize())
        qCDebug(lcNand) << "Data size in buffer is less than block, padding by 0xff...";

    // Each chunk is built in the same buffer: per page its data (0xFF past the end of `data`)
    // and, with ECC, the spare record.
    const int unit = EccPageSize + (ecc ? EccSpareRecordSize : 0);
    std::vector<char> chunk(size_t(PagesPerChunk * unit));
    for (int first = 0; first < PagesPerBlock; first += PagesPerChunk) {
        for (int p = first; p < first + PagesPerChunk; ++p) {
            char *page = chunk.data() + (p - first) * unit;
            const qsizetype start = qsizetype(p) * EccPageSize;
            const qsizetype present = std::clamp<qsizetype>(data.size() - start, 0, EccPageSize);
            std::memcpy(page, data.constData() + start, size_t(present));
            std::memset(page + present, 0xFF, size_t(EccPageSize - present));
            if (ecc)
                fillSpareRecord(reinterpret_cast<const uchar *>(page),
                                reinterpret_cast<uchar *>(page + EccPageSize));
        }
        const qint64 written = sendData(chunk.data(), qint64(chunk.size()));
        if (written != qint64(chunk.size())) {
            // A failed write has left its text; a short one has none yet.
            if (written >= 0)
                error = translated(ShortWriteText).arg(written).arg(chunk.size());
            return ResultTransferFailed;
        }
    }
    if (!receiveAnswer(command.data(), answerTimeout, true))
        return ResultTransferFailed;
    return decodeAnswer(command.data());
}

Programmer::Result Programmer::readBlock(int block, QByteArray &data)
{
    const Result ready = checkCommand(AnyFirmware, true);
    if (ready != ResultOk)
        return ready;
    data.resize(blockSize());
    char *pages = data.data();
    const bool ecc = eccActive();
    bool uncorrectable = false;

    const auto attempt = [&]() -> Result {
        CommandBytes command = wordCommand(CmdReadBlock, block);
        const Result answer = exchange(command.data());
        // A damaged answer may still be followed by the block: it is dropped before the next
        // command.
        if (answer == ResultOk || (answer == ResultTransferFailed && connected))
            unreadPhase =
                PagesPerBlock * qint64(ecc ? EccPageSize + EccSpareRecordSize : EccPageSize);
        if (answer != ResultOk)
            return answer;
        for (int p = 0; p < PagesPerBlock; ++p) {
            char *page = pages + p * EccPageSize;
            if (receiveData(page, EccPageSize, answerTimeout) != EccPageSize) {
                qCWarning(lcNand) << "Failed to read data from programmer (read" << p * EccPageSize
                                  << "bytes on" << p << "page)";
                return ResultTransferFailed;
            }
            if (!ecc)
                continue;
            uchar spare[EccSpareRecordSize];
            if (receiveData(reinterpret_cast<char *>(spare), EccSpareRecordSize, answerTimeout) !=
                EccSpareRecordSize) {
                qCWarning(lcNand) << "Failed to read ECC data from programmer (read"
                                  << (p + 1) * EccPageSize << "bytes)";
                return ResultTransferFailed;
            }
            for (const EccOutcome &outcome :
                 correctPageEcc(reinterpret_cast<uchar *>(page), spare)) {
                if (outcome.kind == EccOutcome::Uncorrectable) {
                    error = eccOutcomeText(outcome, block, p);
                    uncorrectable = true;
                    return ResultEccUncorrectable;
                }
                if (outcome.kind != EccOutcome::Clean)
                    emit info(eccOutcomeText(outcome, block, p));
            }
        }
        return ResultOk;
    };

    Result result = attempt();
    // A closed link is not tried again: its failure is what the user has to see.
    for (int n = 2; n <= ReadAttempts && result != ResultOk && !uncorrectable && connected; ++n) {
        qCWarning(lcNand) << "Error ocurred during read, repeat" << n << "of" << ReadAttempts;
        result = attempt();
    }
    return result;
}

Programmer::Result Programmer::verifyBlock(int block, const QByteArray &expected)
{
    const Result ready = checkCommand(AnyFirmware, true);
    if (ready != ResultOk)
        return ready;
    if (expected.size() > blockSize()) {
        error = translated(OversizedText).arg(block).arg(expected.size());
        return ResultInvalidOperation;
    }
    QByteArray actual;
    const Result result = readBlock(block, actual);
    if (result != ResultOk)
        return result;
    const qsizetype offset =
        firstDifference(expected.constData(), actual.constData(), expected.size());
    if (offset < 0)
        return ResultOk;
    error = differenceText(VerifyFailedText, block, offset, uchar(expected[offset]),
                           uchar(actual[offset]));
    return ResultVerifyFailed;
}

Programmer::Result Programmer::blankCheck(int block)
{
    const Result ready = checkCommand(AnyFirmware, true);
    if (ready != ResultOk)
        return ready;
    QByteArray actual;
    const Result result = readBlock(block, actual);
    if (result != ResultOk)
        return result;
    const qsizetype offset =
        firstDifference(erasedBlock().constData(), actual.constData(), actual.size());
    if (offset < 0)
        return ResultOk;
    error = differenceText(NotBlankText, block, offset, 0xFF, uchar(actual[offset]));
    return ResultNotBlank;
}
