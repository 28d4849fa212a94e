#include "nand/blocktransfer.h"

#include "nand/ecc.h"
#include "nand/logging.h"
#include "protocol/commands.h"
#include "protocol/geometry.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

using namespace Npx4Protocol;
using Geometry::BlockSize;
using Geometry::PageSize;
using Geometry::PagesPerBlock;

namespace {

constexpr int PagesPerChunk = 8;
constexpr int ReadAttempts = 3;
static_assert(EccPageSize == PageSize, "the code covers whole pages");
static_assert(EccSpareRecordSize == EccSpareSize, "the device moves the whole spare record");

// Failures of the transfers are the Programmer's errors: their texts keep its translation context.
const char OversizedText[] =
    QT_TRANSLATE_NOOP("Programmer", "Data for block %1 is larger than a block (%2 bytes)");
const char VerifyFailedText[] = QT_TRANSLATE_NOOP(
    "Programmer", "Verify failed for block %1 at 0x%2: expected 0x%3, actual 0x%4");
const char NotBlankText[] = QT_TRANSLATE_NOOP(
    "Programmer", "Block %1 is not clean: offset 0x%2, expected 0x%3, actual 0x%4");

QString translated(const char *text)
{
    return QCoreApplication::translate("Programmer", text);
}

// The text of a difference found by verify or blank check.
QString differenceText(const char *text, const BlockDifference &difference)
{
    return translated(text)
        .arg(difference.block)
        .arg(difference.offset, 5, 16, QLatin1Char('0'))
        .arg(difference.expected, 2, 16, QLatin1Char('0'))
        .arg(difference.actual, 2, 16, QLatin1Char('0'));
}

// The event of an outcome other than Clean of the ECC check of `page` of `block`.
EccEvent eccEvent(const EccOutcome &outcome, int block, int page)
{
    const int start = page * PageSize;
    if (outcome.kind == EccOutcome::Corrected)
        return {block, start + outcome.offset, outcome.bit, EccEvent::Corrected};
    const EccEvent::Kind kind =
        outcome.kind == EccOutcome::DamagedCode ? EccEvent::DamagedCode : EccEvent::Uncorrectable;
    return {block, start + outcome.subpage * EccSubpageSize, -1, kind};
}

QString eccEventText(const EccEvent &event)
{
    const int page = event.offset / PageSize;
    const int subpage = event.offset % PageSize / EccSubpageSize;
    switch (event.kind) {
    case EccEvent::DamagedCode:
        return translated(
                   QT_TRANSLATE_NOOP("Programmer",
                                     "Damaged ECC code found (block %1, page %2, subpage %3)"))
            .arg(event.block)
            .arg(page)
            .arg(subpage);
    case EccEvent::Corrected:
        return translated(QT_TRANSLATE_NOOP("Programmer",
                                            "Correctable error found and fixed (block %1, "
                                            "offset 0x%2, bit %3)"))
            .arg(event.block)
            .arg(event.offset, 6, 16, QLatin1Char('0'))
            .arg(event.bit);
    case EccEvent::Uncorrectable:
        return translated(QT_TRANSLATE_NOOP(
                              "Programmer",
                              "Uncorrectable ECC error found (block %1, page %2, subpage %3)"))
            .arg(event.block)
            .arg(page)
            .arg(subpage);
    }
    return QString();
}

// Offset of the first byte where a and b differ, or -1. Compares page by page with memcmp and
// looks at single bytes only inside the first page that differs.
qsizetype firstDifference(const char *a, const char *b, qsizetype size)
{
    for (qsizetype start = 0; start < size; start += PageSize) {
        const qsizetype length = std::min<qsizetype>(PageSize, size - start);
        if (std::memcmp(a + start, b + start, size_t(length)) != 0)
            return std::mismatch(a + start, a + start + length, b + start).first - a;
    }
    return -1;
}

// Adds the differences of `length` bytes to `difference`.
void countDifferences(const uchar *expected, const uchar *actual, qsizetype length,
                      BlockDifference *difference)
{
    for (qsizetype i = 0; i < length; ++i) {
        if (expected[i] == actual[i])
            continue;
        ++difference->bytes;
        difference->bitsCleared += qPopulationCount(quint8(expected[i] & ~actual[i]));
        difference->bitsSet += qPopulationCount(quint8(~expected[i] & actual[i]));
    }
}

// The contents of an erased block.
const QByteArray &erasedBlock()
{
    static const QByteArray erased(BlockSize, '\xff');
    return erased;
}

} // namespace

BlockTransfer::BlockTransfer(Programmer &programmer, QObject *parent)
    : QObject(parent), programmer(programmer)
{}

QList<EccEvent> BlockTransfer::takeEccEvents()
{
    return std::exchange(eccEvents, {});
}

Programmer::Result BlockTransfer::refuseOversized(int block, qsizetype size)
{
    programmer.setError(translated(OversizedText).arg(block).arg(size));
    return Programmer::ResultInvalidOperation;
}

Programmer::Result BlockTransfer::programBlock(int block, const QByteArray &data)
{
    const Programmer::Result ready = programmer.checkBlockCommand();
    if (ready != Programmer::ResultOk)
        return ready;
    if (data.size() > BlockSize)
        return refuseOversized(block, data.size());
    const bool ecc = programmer.eccActive();
    if (!ecc && firstDifference(erasedBlock().constData(), data.constData(), data.size()) < 0)
        return Programmer::ResultOk;

    const Programmer::Result started = programmer.startBlockCommand(CmdProgramBlock, block);
    if (started != Programmer::ResultOk)
        return started;
    if (data.size() < BlockSize)
        qCDebug(lcNand) << "Data size in buffer is less than block, padding by 0xff...";

    // Each chunk is built in the same buffer: per page its data (0xFF past the end of `data`)
    // and, with ECC, the spare record.
    const int unit = PageSize + (ecc ? EccSpareRecordSize : 0);
    std::vector<char> chunk(size_t(PagesPerChunk * unit));
    for (int first = 0; first < PagesPerBlock; first += PagesPerChunk) {
        for (int p = first; p < first + PagesPerChunk; ++p) {
            char *page = chunk.data() + (p - first) * unit;
            const qsizetype start = qsizetype(p) * PageSize;
            const qsizetype present = std::clamp<qsizetype>(data.size() - start, 0, PageSize);
            std::memcpy(page, data.constData() + start, size_t(present));
            std::memset(page + present, 0xFF, size_t(PageSize - present));
            if (ecc)
                fillSpareRecord(reinterpret_cast<const uchar *>(page),
                                reinterpret_cast<uchar *>(page + PageSize));
        }
        const Programmer::Result sent =
            programmer.sendBlockData(chunk.data(), qint64(chunk.size()));
        if (sent != Programmer::ResultOk)
            return sent;
    }
    return programmer.finishBlockCommand();
}

Programmer::Result BlockTransfer::readBlock(int block, QByteArray &data)
{
    const Programmer::Result ready = programmer.checkBlockCommand();
    if (ready != Programmer::ResultOk)
        return ready;
    data.resize(BlockSize);
    const bool ecc = programmer.eccActive();
    const qsizetype earlier = eccEvents.size();
    Programmer::Result result = readAttempt(block, data.data(), ecc);
    // A closed link is not tried again: its failure is what the user has to see. Nor is an
    // uncorrectable page: the code cannot repair it however often it is read.
    for (int n = 2; n <= ReadAttempts && result != Programmer::ResultOk &&
                    result != Programmer::ResultEccUncorrectable && programmer.isConnected();
         ++n) {
        qCWarning(lcNand) << "Error ocurred during read, repeat" << n << "of" << ReadAttempts;
        eccEvents.resize(earlier);
        result = readAttempt(block, data.data(), ecc);
    }
    return result;
}

Programmer::Result BlockTransfer::readAttempt(int block, char *pages, bool ecc)
{
    const qint64 unit = ecc ? PageSize + EccSpareRecordSize : PageSize;
    const Programmer::Result answer =
        programmer.startBlockCommand(CmdReadBlock, block, PagesPerBlock * unit);
    if (answer != Programmer::ResultOk)
        return answer;
    for (int p = 0; p < PagesPerBlock; ++p) {
        char *page = pages + p * PageSize;
        if (programmer.receiveBlockData(page, PageSize) != Programmer::ResultOk) {
            qCWarning(lcNand) << "Failed to read data from programmer (read" << p * PageSize
                              << "bytes on" << p << "page)";
            return Programmer::ResultTransferFailed;
        }
        if (!ecc)
            continue;
        uchar spare[EccSpareRecordSize];
        if (programmer.receiveBlockData(reinterpret_cast<char *>(spare), EccSpareRecordSize) !=
            Programmer::ResultOk) {
            qCWarning(lcNand) << "Failed to read ECC data from programmer (read"
                              << (p + 1) * PageSize << "bytes)";
            return Programmer::ResultTransferFailed;
        }
        for (const EccOutcome &outcome : correctPageEcc(reinterpret_cast<uchar *>(page), spare)) {
            if (outcome.kind == EccOutcome::Clean)
                continue;
            const EccEvent event = eccEvent(outcome, block, p);
            eccEvents.append(event);
            if (event.kind == EccEvent::Uncorrectable) {
                programmer.setError(eccEventText(event));
                return Programmer::ResultEccUncorrectable;
            }
            emit info(eccEventText(event));
        }
    }
    return Programmer::ResultOk;
}

Programmer::Result BlockTransfer::readBlockVoted(int block, QByteArray &data, int reads,
                                                 ReadVote *vote)
{
    *vote = ReadVote();
    const Programmer::Result first = readBlock(block, data);
    if (first != Programmer::ResultOk || reads < 2)
        return first;
    std::vector<QByteArray> copies(size_t(reads - 1));
    for (QByteArray &copy : copies) {
        const Programmer::Result result = readBlock(block, copy);
        if (result != Programmer::ResultOk)
            return result;
    }
    if (std::all_of(copies.begin(), copies.end(), [&](const QByteArray &c) { return c == data; }))
        return Programmer::ResultOk;

    const QByteArray firstRead = data;
    std::vector<int> votes(256);
    for (qsizetype i = 0; i < data.size(); ++i) {
        const uchar mine = uchar(firstRead[i]);
        if (std::all_of(copies.begin(), copies.end(),
                        [&](const QByteArray &c) { return uchar(c[i]) == mine; }))
            continue;
        ++vote->unstableBytes;
        std::fill(votes.begin(), votes.end(), 0);
        ++votes[mine];
        for (const QByteArray &copy : copies)
            ++votes[uchar(copy[i])];
        const auto most = std::max_element(votes.begin(), votes.end());
        if (2 * *most > reads)
            data[i] = char(most - votes.begin());
        else
            vote->noMajority = true;
    }
    vote->disagreeingReads =
        int(firstRead != data) + int(std::count_if(copies.begin(), copies.end(),
                                                   [&](const QByteArray &c) { return c != data; }));
    return Programmer::ResultOk;
}

Programmer::Result BlockTransfer::verifyBlock(int block, const QByteArray &expected)
{
    return compareBlock(block, expected, VerifyFailedText, Programmer::ResultVerifyFailed);
}

Programmer::Result BlockTransfer::compareRead(int block, const QByteArray &expected,
                                              const QByteArray &actual)
{
    lastDifference.reset();
    if (expected.size() > BlockSize)
        return refuseOversized(block, expected.size());
    return compareData(block, expected, actual, VerifyFailedText, Programmer::ResultVerifyFailed,
                       tolerance);
}

Programmer::Result BlockTransfer::blankCheck(int block)
{
    return compareBlock(block, erasedBlock(), NotBlankText, Programmer::ResultNotBlank);
}

Programmer::Result BlockTransfer::compareBlock(int block, const QByteArray &expected,
                                               const char *text, Programmer::Result failure)
{
    lastDifference.reset();
    const Programmer::Result ready = programmer.checkBlockCommand();
    if (ready != Programmer::ResultOk)
        return ready;
    if (expected.size() > BlockSize)
        return refuseOversized(block, expected.size());
    QByteArray actual;
    const Programmer::Result result = readBlock(block, actual);
    if (result != Programmer::ResultOk)
        return result;
    return compareData(block, expected, actual, text, failure,
                       failure == Programmer::ResultVerifyFailed ? tolerance : 0);
}

Programmer::Result BlockTransfer::compareData(int block, const QByteArray &expected,
                                              const QByteArray &actual, const char *text,
                                              Programmer::Result failure, int allowed)
{
    lastTolerated = 0;
    const qsizetype size = std::min(expected.size(), actual.size());
    if (firstDifference(expected.constData(), actual.constData(), size) < 0)
        return Programmer::ResultOk;
    const auto *wanted = reinterpret_cast<const uchar *>(expected.constData());
    const auto *found = reinterpret_cast<const uchar *>(actual.constData());
    BlockDifference difference{block, -1, 0, 0, 0, 0, 0};
    for (qsizetype start = 0; start < size; start += PageSize) {
        const qsizetype length = std::min<qsizetype>(PageSize, size - start);
        BlockDifference page;
        countDifferences(wanted + start, found + start, length, &page);
        if (page.bytes == 0)
            continue;
        // A page with no more flipped bits than allowed is counted, not a failure.
        if (page.bitsCleared + page.bitsSet <= allowed) {
            lastTolerated += page.bitsCleared + page.bitsSet;
            continue;
        }
        if (difference.offset < 0)
            difference.offset =
                firstDifference(expected.constData() + start, actual.constData() + start, length) +
                start;
        difference.bytes += page.bytes;
        difference.bitsCleared += page.bitsCleared;
        difference.bitsSet += page.bitsSet;
    }
    if (difference.offset < 0)
        return Programmer::ResultOk;
    difference.expected = wanted[difference.offset];
    difference.actual = found[difference.offset];
    lastDifference = difference;
    programmer.setError(differenceText(text, *lastDifference));
    return failure;
}
