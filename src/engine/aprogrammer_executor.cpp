#include "engine/aprogrammer.h"

#include "engine/blockrange.h"
#include "engine/chipgeometry.h"
#include "engine/chipid.h"
#include "engine/imagebuffer.h"
#include "engine/imagedirectory.h"
#include "engine/logging.h"
#include "engine/operationresult.h"
#include "nand/blocktransfer.h"
#include "protocol/geometry.h"
#include "protocol/programmer.h"

#include <QStringList>
#include <algorithm>
#include <cstring>

namespace {

bool ok(Programmer::Result result)
{
    return result == Programmer::ResultOk;
}

} // namespace

// The working values of one phase.
struct AProgrammer::Phase
{
    OperationKind kind = Idle;
    // The current block's data; after the loop, that of the last block read.
    QByteArray data;
    // The logical blocks to walk, fixed at the start.
    QList<int> list;
    // The programmer reported the chip's bad blocks; they decide for every block.
    bool deviceTableKnown = false;
    // Each physical block's status, asked from the programmer at most once per phase.
    BlockMap map;
    // Blocks still have to be erased one by one (no fast full erase happened).
    bool needErase = true;
    // Logical blocks skip bad physical ones; off where blocks are worked on in place.
    bool skipBad = true;
    int completed = 0;
    // The request covers the whole flash or an image's extent: trailing blocks without a good
    // Flash block may be left out.
    bool fit = false;
    // Block numbers are physical ones (a request option).
    bool physical = false;
    // Image blocks this phase does not write that must stay where they are.
    QList<int> keep;
    // Position in `list` of the block being worked on; -1 before the first.
    qsizetype index = -1;
    // Logical blocks done so far, and those left out for want of a good Flash block.
    QList<int> done;
    QList<int> leftOut;
    // Bad physical blocks a physical request passed over.
    QList<int> unread;
    // The physical block erased before the first write (the directory's), until it is written.
    int preErased = -1;
    // Of an update that compares: a block the chip already holds is not written again.
    bool compareFirst = false;
    // The error text of the first difference a verify found; it goes on to the end.
    QString firstDifference;
    // Blocks a whole-chip erase in place could not erase.
    QList<int> eraseFailed;
};

namespace {

QString rangeText(const QList<int> &blocks)
{
    return BlockRangeList::fromBlocks(blocks).toString();
}

bool isErased(QByteArrayView data)
{
    return std::all_of(data.begin(), data.end(), [](char byte) { return byte == char(0xFF); });
}

// The surface test's pattern for `block`: pseudo-random bytes that differ from block to block,
// so that data that lands in another block, or a cell that keeps its old value, shows.
QByteArray surfacePattern(int block)
{
    QByteArray data(Geometry::BlockSize, Qt::Uninitialized);
    quint32 state = 0x9E3779B9u ^ (quint32(block) * 0x85EBCA6Bu);
    for (char &byte : data) {
        state = state * 1664525u + 1013904223u;
        byte = char(state >> 24);
    }
    return data;
}

QByteArray complement(QByteArray data)
{
    for (char &byte : data)
        byte = char(~byte);
    return data;
}

using BlockFault = OperationResult::BlockFault;

// Counts into `fault` the bits that both reads return other than `written`.
void countFlips(const QByteArray &written, const QByteArray &first, const QByteArray &second,
                BlockFault *fault)
{
    fault->bitsCleared = fault->bitsSet = 0;
    for (qsizetype i = 0; i < written.size(); ++i) {
        const uchar wrote = uchar(written[i]);
        const uchar wrong = uchar(wrote ^ uchar(first.at(i))) & uchar(wrote ^ uchar(second.at(i)));
        fault->bitsCleared += qPopulationCount(quint8(wrong & wrote));
        fault->bitsSet += qPopulationCount(quint8(wrong & ~wrote));
    }
}

enum class TestPass
{
    Passed,
    BlockFailed,
    // The link or the programmer failed: the test cannot go on.
    Broken,
};

// Erases `block`, writes `pattern` and reads it back. Only bits that a second read returns
// wrong again count: a bit that reads wrong once is a noisy read, not a failing cell.
TestPass testPattern(Programmer &programmer, BlockTransfer &transfer, int block,
                     const QByteArray &pattern, BlockFault *fault)
{
    const auto failedAs = [&](Programmer::Result result, BlockFault::Kind kind,
                              Programmer::Result deviceFailure) {
        fault->kind = kind;
        return result == deviceFailure ? TestPass::BlockFailed : TestPass::Broken;
    };
    Programmer::Result result = programmer.eraseBlock(block, false);
    if (!ok(result))
        return failedAs(result, BlockFault::Erase, Programmer::ResultOperationError);
    result = transfer.programBlock(block, pattern);
    if (!ok(result))
        return failedAs(result, BlockFault::Program, Programmer::ResultOperationError);
    QByteArray reads[2];
    for (QByteArray &actual : reads) {
        result = transfer.readBlock(block, actual);
        if (!ok(result))
            return failedAs(result, BlockFault::Read, Programmer::ResultEccUncorrectable);
        if (actual == pattern)
            return TestPass::Passed;
    }
    countFlips(pattern, reads[0], reads[1], fault);
    fault->kind = BlockFault::Compare;
    return fault->bitsCleared + fault->bitsSet > 0 ? TestPass::BlockFailed : TestPass::Passed;
}

QString faultText(const BlockFault &fault)
{
    switch (fault.kind) {
    case BlockFault::Erase:
        return AProgrammer::tr("erase failed");
    case BlockFault::Program:
        return AProgrammer::tr("programming failed");
    case BlockFault::Read:
        return AProgrammer::tr("read back failed");
    case BlockFault::Compare:
        break;
    }
    return AProgrammer::tr("%n bit(s) read back wrong (%1 from 1 to 0, %2 from 0 to 1)", nullptr,
                           fault.bitsCleared + fault.bitsSet)
        .arg(fault.bitsCleared)
        .arg(fault.bitsSet);
}

} // namespace

AProgrammer::OperationKind AProgrammer::execute()
{
    Phase phase;
    phase.kind = OperationKind(readState());
    const OperationKind next = executePhase(phase);
    notePhase(phase);
    return next;
}

void AProgrammer::notePhase(const Phase &phase)
{
    current->blocks = phase.list;
    current->done = phase.done;
    current->leftOut = phase.leftOut;
    current->unread = phase.unread;
    const bool movesData = phase.kind != Erase && phase.kind != Information &&
                           phase.kind != SetBadBlocks && phase.kind != AbortRequested;
    // A surface test writes and reads two patterns a block.
    const int transfers = phase.kind == SurfaceTest ? 4 : 1;
    if (movesData)
        current->bytes += qint64(phase.done.size()) * transfers * Geometry::BlockSize;
}

void AProgrammer::reportProgress(const Phase &phase)
{
    emit progress(phase.completed);
    emit phaseProgress(phaseKey(phase.kind), phase.completed,
                       int(phase.list.size() - phase.leftOut.size()));
}

AProgrammer::OperationKind AProgrammer::executePhase(Phase &phase)
{
    // Aborted before it started: nothing is done, not even the fast full erase of a whole-flash
    // request.
    if (phase.kind == AbortRequested) {
        finishRequest(OperationResult::Aborted, tr("Operation aborted"));
        return Idle;
    }
    OperationKind result = Idle;
    if (!startPhase(phase, &result))
        return result;

    for (qsizetype index = 0; index < phase.list.size(); ++index) {
        phase.index = index;
        const int logical = phase.list.at(index);
        if (phase.leftOut.contains(logical))
            continue;
        StepResult step = StepResult::Remap;
        while (step == StepResult::Remap) {
            int physical = -1;
            if (!mapBlock(phase, logical, &physical))
                return Failed;
            if (readState() == AbortRequested) {
                finishRequest(OperationResult::Aborted, tr("Operation aborted"));
                return Idle;
            }
            if (physical < 0) {
                // Bad blocks found as the phase goes: this block and every later one above it
                // have no good block left.
                QList<int> beyond;
                for (qsizetype later = index; later < phase.list.size(); ++later) {
                    if (phase.list.at(later) >= logical)
                        beyond.append(phase.list.at(later));
                }
                if (!leaveOut(phase, beyond))
                    return Failed;
                break;
            }
            step = runStep(phase, logical, physical);
            current->eccEvents += transfer->takeEccEvents();
            if (step == StepResult::Failed)
                return Failed;
        }
        if (step != StepResult::Done)
            continue;
        phase.done.append(logical);
        ++phase.completed;
        reportProgress(phase);
    }
    return complete(phase);
}

bool AProgrammer::leaveOut(Phase &phase, const QList<int> &beyond)
{
    if (beyond.isEmpty())
        return true;
    // Gathering information touches no block; reading ones leave out the end of the flash or
    // image. Writes leave out only trailing blocks that hold nothing.
    const bool writes = phase.kind == Program || phase.kind == AutoProgram;
    int refused = -1;
    if (!phase.fit && phase.kind != Information) {
        refused = *std::min_element(beyond.begin(), beyond.end());
    } else if (writes) {
        for (const int block : beyond) {
            if (!isErased(buffer->block(block)) && (refused < 0 || block < refused))
                refused = block;
        }
    }
    if (refused >= 0) {
        failPhase(phase, tr("No good Flash block is left for block %1").arg(refused));
        return false;
    }
    for (const int block : beyond) {
        if (!phase.leftOut.contains(block))
            phase.leftOut.append(block);
    }
    return true;
}

void AProgrammer::failPhase(Phase &phase, const QString &reason)
{
    phaseError = reason;
    if (!phase.done.isEmpty()) {
        emit info(
            tr("%n block(s) were done before the failure: %1", nullptr, int(phase.done.size()))
                .arg(rangeText(phase.done)));
    }
}

bool AProgrammer::startPhase(Phase &phase, OperationKind *result)
{
    chipId.clear();
    const Programmer::Result idResult = programmer->readId(chipId);
    // Firmware without the ID command: no chip test.
    if (idResult != Programmer::ResultUnsupported) {
        if (!ok(idResult)) {
            *result = Failed;
            return false;
        }
        if (isChipMissing(chipId)) {
            reportError(tr("Flash is not inserted to the programmer"));
            finishRequest(OperationResult::NoChip, tr("Failed"));
            *result = Idle;
            return false;
        }
    }

    phase.deviceTableKnown = ok(programmer->readBadBlockList(badBlocks));
    if (phase.deviceTableKnown)
        phase.map = BlockMap::withBadBlocks(badBlocks);
    else
        badBlocks.clear();
    if (!checkChip(phase)) {
        *result = Idle;
        return false;
    }

    phase.list = blocks;
    phase.fit = fitToChip;
    // The surface test works on physical blocks and passes over the bad ones.
    phase.physical = requestOptions.testFlag(PhysicalBlocks) || phase.kind == SurfaceTest;
    phase.keep = std::exchange(keepInPlace, {});
    phase.compareFirst = std::exchange(compareBeforeWrite, false) && phase.kind == AutoProgram;
    // Bad blocks are marked where they are named; a whole-flash erase works in place.
    phase.skipBad =
        phase.kind != SetBadBlocks && !phase.physical && !(eraseWhole && phase.kind == Erase);
    // With the programmer's list, the blocks that have no good block left are known before
    // anything is touched.
    if (phase.skipBad && phase.deviceTableKnown) {
        const int good = phase.map.goodCount();
        QList<int> beyond;
        for (const int block : std::as_const(phase.list)) {
            if (block >= good && !beyond.contains(block))
                beyond.append(block);
        }
        if (!leaveOut(phase, beyond)) {
            *result = Failed;
            return false;
        }
    }
    if (eraseWhole) {
        if (ok(programmer->fastErase(unsigned(Programmer::blockCount()), true)))
            phase.needErase = false;
        else
            qCDebug(lcEngine) << "Fast full erase failed, falling back to block by block mode...";
    }
    if (!preEraseDirectory(phase)) {
        *result = Failed;
        return false;
    }
    return true;
}

bool AProgrammer::checkChip(Phase &phase)
{
    const ChipGeometry geometry = ChipGeometry::fromId(chipId);
    const QString name = chipName(chipId);
    if (geometry.isLowVoltage()) {
        warn(tr("Warning: %1 is a %2 V part: make sure the socket supplies that voltage")
                 .arg(name)
                 .arg(geometry.millivolts / 1000.0, 0, 'f', 1));
    }
    const bool writes = phase.kind == Erase || phase.kind == Program || phase.kind == AutoProgram ||
                        phase.kind == SetBadBlocks || phase.kind == SurfaceTest;
    if (geometry.decoded && !geometry.matchesProgrammer()) {
        const QString reason = tr("%1 is %2; the programmer handles 1 Gbit x8 chips only, and "
                                  "writing would place data wrongly")
                                   .arg(name, geometry.mismatch());
        if (writes && !forceGeometry) {
            reportError(reason);
            finishRequest(OperationResult::WrongGeometry, tr("Failed"));
            return false;
        }
        warn(tr("Warning: %1").arg(reason));
    }
    const int limit = badBlockLimit(chipId);
    if ((phase.kind == Program || phase.kind == AutoProgram) && limit >= 0 &&
        badBlocks.size() > limit) {
        reportError(tr("The chip has %1 bad blocks, more than the limit of %2: it is not written")
                        .arg(badBlocks.size())
                        .arg(limit));
        finishRequest(OperationResult::TooManyBadBlocks, tr("Failed"));
        return false;
    }
    return true;
}

void AProgrammer::warn(const QString &text)
{
    if (current->warnings.contains(text))
        return;
    current->warnings.append(text);
    emit info(text);
}

bool AProgrammer::preEraseDirectory(Phase &phase)
{
    if (phase.kind != AutoProgram || !phase.needErase || phase.list.size() < 2 ||
        phase.list.last() != ImageDirectory::Block || phase.leftOut.contains(ImageDirectory::Block))
        return true;
    StepResult step = StepResult::Remap;
    int physical = -1;
    while (step == StepResult::Remap) {
        if (!mapBlock(phase, ImageDirectory::Block, &physical))
            return false;
        if (physical < 0) {
            failPhase(phase,
                      tr("No good Flash block is left for block %1").arg(ImageDirectory::Block));
            return false;
        }
        step = eraseForWriting(phase, ImageDirectory::Block, physical);
    }
    phase.preErased = physical;
    return step == StepResult::Done;
}

bool AProgrammer::mapBlock(Phase &phase, int block, int *physical)
{
    if (!phase.skipBad) {
        *physical = block;
        return true;
    }
    return phase.map.map(block, physical,
                         [this](int candidate, bool *bad) { return readBadMark(candidate, bad); });
}

bool AProgrammer::readBadMark(int block, bool *bad)
{
    quint8 marks[2];
    if (!ok(programmer->readBlockMarks(block, marks)))
        return false;
    *bad = marks[0] == 0 || marks[1] == 0;
    if (*bad && !badBlocks.contains(block))
        badBlocks.append(block);
    return true;
}

bool AProgrammer::isBadBlock(Phase &phase, int block, bool *bad)
{
    if (phase.map.state(block) == BlockMap::Unknown) {
        if (!readBadMark(block, bad))
            return false;
        phase.map.setState(block, *bad ? BlockMap::Bad : BlockMap::Good);
    }
    *bad = phase.map.state(block) == BlockMap::Bad;
    return true;
}

void AProgrammer::noteBadBlock(Phase &phase, int block)
{
    phase.map.setState(block, BlockMap::Bad);
    if (!badBlocks.contains(block))
        badBlocks.append(block);
}

bool AProgrammer::markBlockBad(Phase &phase, int block)
{
    if (!ok(programmer->markBad(block)))
        return false;
    emit info(tr("Block %1 marked as bad").arg(block));
    current->newlyBad.append(block);
    noteBadBlock(phase, block);
    return true;
}

AProgrammer::StepResult AProgrammer::runStep(Phase &phase, int logical, int physical)
{
    if (phase.physical) {
        bool bad = false;
        if (!isBadBlock(phase, physical, &bad))
            return StepResult::Failed;
        if (bad)
            return physicalBadStep(phase, logical, physical);
    }
    const auto done = [](Programmer::Result result) {
        return ok(result) ? StepResult::Done : StepResult::Failed;
    };
    switch (phase.kind) {
    case Read: {
        const Programmer::Result result = readForRequest(logical, physical, phase.data);
        // What arrived is kept, also from a failed read.
        const qsizetype size = qMin<qsizetype>(phase.data.size(), Programmer::blockSize());
        std::memcpy(buffer->blockData(logical), phase.data.constData(), size_t(size));
        return done(result);
    }
    case Program: {
        const Programmer::Result programmed = programStep(logical, physical);
        if (programmed == Programmer::ResultOperationError)
            phaseError = tr("Programming Flash block %1 failed: %2")
                             .arg(physical)
                             .arg(programmer->errorString());
        if (!ok(programmed))
            return StepResult::Failed;
        // What was written is read back, unless asked not to.
        if (requestOptions.testFlag(NoReadBack))
            return StepResult::Done;
        return verifyStep(phase, logical, physical, true);
    }
    case Erase: {
        if (!phase.needErase)
            return StepResult::Done;
        const Programmer::Result result = programmer->eraseBlock(physical, !phase.skipBad);
        if (result != Programmer::ResultOperationError)
            return done(result);
        // Erasing the whole chip in place goes on past blocks that fail to erase; the request
        // fails at its end, naming them.
        if (!phase.skipBad) {
            phase.eraseFailed.append(physical);
            return StepResult::Done;
        }
        phaseError =
            tr("Erasing Flash block %1 failed: %2").arg(physical).arg(programmer->errorString());
        return StepResult::Failed;
    }
    case AutoProgram:
        return autoProgramStep(phase, logical, physical);
    case Verify:
        return verifyStep(phase, logical, physical, false);
    case Check:
        return done(transfer->blankCheck(physical));
    case Information:
        return StepResult::Done;
    case CalcHash: {
        const Programmer::Result result = readForRequest(logical, physical, phase.data);
        buffer->addToDigests(phase.data);
        return done(result);
    }
    case Update:
    case ReadDirectory:
        return done(transfer->readBlock(physical, phase.data));
    case SetBadBlocks: {
        bool bad = false;
        if (!isBadBlock(phase, physical, &bad))
            return StepResult::Failed;
        return bad || markBlockBad(phase, physical) ? StepResult::Done : StepResult::Failed;
    }
    case SurfaceTest:
        return surfaceTestStep(phase, physical);
    default:
        return StepResult::Failed;
    }
}

AProgrammer::StepResult AProgrammer::physicalBadStep(Phase &phase, int logical, int physical)
{
    // A bad block is not read: the image holds erased bytes in its place.
    phase.unread.append(physical);
    if (phase.kind == Read)
        buffer->eraseBlock(logical);
    else if (phase.kind == CalcHash)
        buffer->addToDigests(QByteArray(Programmer::blockSize(), char(0xFF)));
    return StepResult::Done;
}

AProgrammer::StepResult AProgrammer::eraseForWriting(Phase &phase, int logical, int physical)
{
    Programmer::Result result = programmer->eraseBlock(physical, false);
    if (result == Programmer::ResultOperationError)
        result = programmer->eraseBlock(physical, false);
    if (result != Programmer::ResultOperationError)
        return ok(result) ? StepResult::Done : StepResult::Failed;
    return replaceBlock(phase, logical, physical);
}

AProgrammer::StepResult AProgrammer::replaceBlock(Phase &phase, int logical, int physical)
{
    if (!markBlockBad(phase, physical))
        return StepResult::Failed;
    // Every logical block above this one now lives one good block further up: one already
    // written there would be read from the wrong block.
    const auto above = [logical](int block) { return block > logical; };
    if (std::any_of(phase.done.begin(), phase.done.end(), above)) {
        failPhase(phase, tr("Block %1 had to move to another Flash block after blocks above it "
                            "were written: the image must be written again")
                             .arg(logical));
        return StepResult::Failed;
    }
    // Blocks that were to stay where they are move too: they are written again, in their new
    // places, after the blocks below them.
    QList<int> moved;
    phase.keep.removeIf([&](int block) {
        if (block > logical)
            moved.append(block);
        return block > logical;
    });
    if (!moved.isEmpty()) {
        const bool directoryLast =
            phase.list.size() > 1 && phase.list.last() == ImageDirectory::Block;
        const qsizetype end = phase.list.size() - (directoryLast ? 1 : 0);
        phase.list.insert(end, moved.size(), 0);
        std::copy(moved.begin(), moved.end(), phase.list.begin() + end);
        std::sort(phase.list.begin() + phase.index + 1, phase.list.begin() + end + moved.size());
    }
    return StepResult::Remap;
}

AProgrammer::StepResult AProgrammer::autoProgramStep(Phase &phase, int logical, int physical)
{
    if (phase.compareFirst && physical != phase.preErased) {
        QByteArray held;
        const Programmer::Result result = transfer->readBlock(physical, held);
        if (!ok(result) && result != Programmer::ResultEccUncorrectable)
            return StepResult::Failed;
        if (ok(result) && held == buffer->block(logical)) {
            current->unchanged.append(logical);
            return StepResult::Done;
        }
    }
    // Nothing was written to the block erased first since: a second erase would only wear it.
    if (physical == phase.preErased) {
        phase.preErased = -1;
    } else if (phase.needErase) {
        const StepResult erased = eraseForWriting(phase, logical, physical);
        if (erased != StepResult::Done)
            return erased;
    }
    const Programmer::Result programmed = programStep(logical, physical);
    // A worn block that fails to program is replaced like one that fails to erase.
    if (programmed == Programmer::ResultOperationError) {
        emit info(tr("Programming Flash block %1 failed").arg(physical));
        return replaceBlock(phase, logical, physical);
    }
    if (!ok(programmed))
        return StepResult::Failed;
    return verifyStep(phase, logical, physical, true);
}

Programmer::Result AProgrammer::programStep(int logical, int physical)
{
    const QByteArray data = buffer->block(logical);
    if (!requestOptions.testFlag(ProgramBlank) && isErased(data)) {
        if (!current->blankSkipped.contains(logical))
            current->blankSkipped.append(logical);
        return Programmer::ResultOk;
    }
    return transfer->programBlock(physical, data);
}

Programmer::Result AProgrammer::readForRequest(int logical, int physical, QByteArray &data)
{
    const int reads = readRepeat;
    ReadVote vote;
    const Programmer::Result result = transfer->readBlockVoted(physical, data, reads, &vote);
    if (!ok(result) || vote.disagreeingReads == 0)
        return result;
    current->unstable.append(
        {logical, vote.disagreeingReads, vote.unstableBytes, !vote.noMajority});
    if (!vote.noMajority)
        return result;
    phaseError = tr("Flash block %1 reads differently each time: %2 of %3 reads disagree, and "
                    "%n byte(s) have no majority value",
                    nullptr, vote.unstableBytes)
                     .arg(physical)
                     .arg(vote.disagreeingReads)
                     .arg(reads);
    return Programmer::ResultOperationError;
}

AProgrammer::StepResult AProgrammer::verifyStep(Phase &phase, int logical, int physical, bool stop)
{
    const QByteArray expected = buffer->block(logical);
    // The tolerance stands in for ECC where there is none: with ECC, flips are corrected.
    transfer->setTolerance(programmer->eccActive() ? 0 : bitflipTolerance.load());
    Programmer::Result result = Programmer::ResultOk;
    if (readRepeat > 1 && phase.kind == Verify) {
        QByteArray actual;
        result = readForRequest(logical, physical, actual);
        if (ok(result))
            result = transfer->compareRead(physical, expected, actual);
    } else {
        result = transfer->verifyBlock(physical, expected);
    }
    current->toleratedBits += transfer->toleratedBits();
    if (result != Programmer::ResultVerifyFailed)
        return ok(result) ? StepResult::Done : StepResult::Failed;
    const BlockDifference found = *transfer->difference();
    current->differences.append(
        {logical, physical, found.offset, qint64(logical) * Geometry::BlockSize + found.offset,
         found.expected, found.actual, found.bytes, found.bitsCleared, found.bitsSet});
    if (stop)
        return StepResult::Failed;
    if (phase.firstDifference.isEmpty())
        phase.firstDifference = programmer->errorString();
    return StepResult::Done;
}

AProgrammer::StepResult AProgrammer::surfaceTestStep(Phase &phase, int block)
{
    const bool keep = requestOptions.testFlag(KeepData);
    QByteArray kept;
    BlockFault fault;
    fault.block = block;
    TestPass pass = TestPass::Passed;
    if (keep) {
        const Programmer::Result result = transfer->readBlock(block, kept);
        // A block whose data cannot be read is not tested: the test would destroy it.
        if (!ok(result)) {
            fault.kind = BlockFault::Read;
            pass = result == Programmer::ResultEccUncorrectable ? TestPass::BlockFailed
                                                                : TestPass::Broken;
            kept.clear();
        }
    }
    const bool tested = pass == TestPass::Passed;
    const QByteArray pattern = surfacePattern(block);
    if (pass == TestPass::Passed)
        pass = testPattern(*programmer, *transfer, block, pattern, &fault);
    if (pass == TestPass::Passed)
        pass = testPattern(*programmer, *transfer, block, complement(pattern), &fault);
    if (pass == TestPass::Broken)
        return StepResult::Failed;
    // A tested block ends erased, or with what it held; the last erase is tested too.
    if (tested) {
        const Programmer::Result erased = programmer->eraseBlock(block, false);
        if (!ok(erased) && pass == TestPass::Passed) {
            fault.kind = BlockFault::Erase;
            pass = erased == Programmer::ResultOperationError ? TestPass::BlockFailed
                                                              : TestPass::Broken;
        }
        if (pass == TestPass::Broken)
            return StepResult::Failed;
        if (ok(erased) && !kept.isEmpty()) {
            const Programmer::Result restored = transfer->programBlock(block, kept);
            if (!ok(restored) && restored != Programmer::ResultOperationError)
                return StepResult::Failed;
        }
    }
    if (pass == TestPass::BlockFailed) {
        current->faults.append(fault);
        emit info(tr("Block %1 failed the surface test: %2").arg(block).arg(faultText(fault)));
        if (requestOptions.testFlag(MarkFailed) && !markBlockBad(phase, block))
            return StepResult::Failed;
    }
    return StepResult::Done;
}

AProgrammer::OperationKind AProgrammer::complete(Phase &phase)
{
    if (!phase.leftOut.isEmpty()) {
        std::sort(phase.leftOut.begin(), phase.leftOut.end());
        // What a read leaves out holds nothing of the chip.
        if (phase.kind == Read) {
            for (const int block : std::as_const(phase.leftOut))
                buffer->eraseBlock(block);
        }
        emit info(tr("%n image block(s) at the end have no good Flash block left (%1 bad blocks): "
                     "%2",
                     nullptr, int(phase.leftOut.size()))
                      .arg(badBlocks.size())
                      .arg(rangeText(phase.leftOut)));
        emit blocksLeftOut(phase.leftOut);
    }
    if (!phase.unread.isEmpty() && phase.kind == SurfaceTest) {
        emit info(tr("%n bad block(s) not tested: %1", nullptr, int(phase.unread.size()))
                      .arg(rangeText(phase.unread)));
    } else if (!phase.unread.isEmpty()) {
        emit info(tr("%n bad block(s) not read, erased bytes in their place: %1", nullptr,
                     int(phase.unread.size()))
                      .arg(rangeText(phase.unread)));
    }
    if (phase.kind == SurfaceTest)
        reportSurfaceTest(phase);
    reportFindings(phase);
    if (!phase.firstDifference.isEmpty()) {
        phaseError = phase.firstDifference;
        return Failed;
    }
    if (!phase.eraseFailed.isEmpty()) {
        failPhase(phase, tr("%n Flash block(s) failed to erase and keep their data: %1", nullptr,
                            int(phase.eraseFailed.size()))
                             .arg(rangeText(phase.eraseFailed)));
        return Failed;
    }
    // An abort noted after the last block leaves the state AbortRequested: the phase then just
    // completes, without report or follow-up.
    switch (readState()) {
    case ReadDirectory:
        blocks = directoryBlocks(phase.data);
        if (blocks.isEmpty()) {
            reportError(tr("Invalid or empty flash content"));
            finishRequest(OperationResult::NoFlashImage, tr("Failed"));
            return Idle;
        }
        return OperationKind(followUp);
    case Update:
        return updateRule(phase.data);
    case CalcHash:
        current->digests = buffer->digests();
        if (!emitHashes()) {
            finishRequest(OperationResult::Failed, tr("Failed"));
            return Idle;
        }
        break;
    case Information:
        reportInformation();
        reportChipDetails();
        break;
    default:
        break;
    }
    finishRequest(OperationResult::Complete, tr("Complete"));
    return Idle;
}

AProgrammer::OperationKind AProgrammer::updateRule(const QByteArray &flashDirectory)
{
    using namespace ImageDirectory;
    // A flash without a directory has every chunk changed.
    QList<QByteArray> flashEntries = directoryEntries(flashDirectory, MaxEntries);

    QList<QByteArray> bufferEntries = directoryEntries(buffer->block(Block), MaxEntries);
    if (bufferEntries.isEmpty()) {
        reportError(tr("Invalid buffer content"));
        finishRequest(OperationResult::NoBufferImage, tr("Updating aborted"));
        return Idle;
    }

    // Comparing, every block of the image is read and only what differs is written.
    if (requestOptions.testFlag(CompareData)) {
        blocks = blocksOnFlash(bufferDirectoryBlocks());
        keepInPlace.clear();
        compareBeforeWrite = true;
        return AutoProgram;
    }
    const qsizetype entries = qMax(flashEntries.size(), bufferEntries.size());
    flashEntries.resize(entries);
    bufferEntries.resize(entries);
    BlockRangeList changed;
    changed.addRange(BlockRange(0, HeadBlocks - 1));
    for (int i = 0; i < entries; ++i) {
        if (flashEntries.at(i) != bufferEntries.at(i)) {
            const int first = HeadBlocks + ChunkBlocks * i;
            changed.addRange(BlockRange(first, first + ChunkBlocks - 1));
        }
    }
    blocks = changed.toBlocks();
    // The unchanged chunks stay where they are: writing the changed ones must not move them.
    keepInPlace.clear();
    for (const int block : blocksOnFlash(bufferDirectoryBlocks())) {
        if (!blocks.contains(block))
            keepInPlace.append(block);
    }
    current->unchanged = keepInPlace;
    if (!keepInPlace.isEmpty()) {
        emit info(tr("Left alone, their directory entries being equal (not compared): %1")
                      .arg(rangeText(keepInPlace)));
    }
    return AutoProgram;
}

void AProgrammer::reportFindings(const Phase &phase)
{
    // At most this many blocks are named one by one; the result has them all.
    constexpr int ShownBlocks = 10;
    const auto hex = [](qint64 value) { return QString::number(value, 16); };
    const QList<OperationResult::Difference> &differences = current->differences;
    for (qsizetype i = 0; i < differences.size() && i < ShownBlocks; ++i) {
        const OperationResult::Difference &d = differences.at(i);
        emit info(tr("Block %1 (Flash block %2) differs in %n byte(s), %3 bit(s) 1 to 0 and %4 "
                     "0 to 1, from offset 0x%5 (image offset 0x%6)",
                     nullptr, d.bytes)
                      .arg(d.block)
                      .arg(d.physical)
                      .arg(d.bitsCleared)
                      .arg(d.bitsSet)
                      .arg(hex(d.offset), hex(d.imageOffset)));
    }
    if (differences.size() > ShownBlocks) {
        emit info(tr("... and %n more block(s)", nullptr, int(differences.size() - ShownBlocks)));
    }
    if (!differences.isEmpty()) {
        emit info(tr("%n of %1 block(s) differ", nullptr, int(differences.size()))
                      .arg(phase.done.size()));
    }
    if (current->toleratedBits > 0 && phase.kind == Verify) {
        emit info(tr("%n flipped bit(s) within the tolerance, not counted as differences", nullptr,
                     current->toleratedBits));
    }
    if (!current->unstable.isEmpty() &&
        (phase.kind == Read || phase.kind == CalcHash || phase.kind == Verify)) {
        QStringList shown;
        for (const OperationResult::UnstableBlock &u : std::as_const(current->unstable)) {
            if (shown.size() == ShownBlocks)
                break;
            shown.append(
                tr("%1 (%2 of %3 reads)").arg(u.block).arg(u.disagreeingReads).arg(readRepeat));
        }
        emit info(tr("%n block(s) read differently between reads: %1", nullptr,
                     int(current->unstable.size()))
                      .arg(shown.join(QStringLiteral(", "))));
    }
    if (!current->blankSkipped.isEmpty() && (phase.kind == Program || phase.kind == AutoProgram)) {
        emit info(tr("%n blank block(s) not programmed, only checked: %1", nullptr,
                     int(current->blankSkipped.size()))
                      .arg(rangeText(current->blankSkipped)));
    }
}

void AProgrammer::reportSurfaceTest(const Phase &phase)
{
    const int tested = int(phase.done.size() - phase.unread.size());
    QList<int> failed;
    for (const BlockFault &fault : std::as_const(current->faults))
        failed.append(fault.block);
    if (failed.isEmpty()) {
        emit info(tr("Surface test: %n block(s) tested, none failed", nullptr, tested));
        return;
    }
    emit info(tr("Surface test: %n block(s) tested, %1 failed: %2", nullptr, tested)
                  .arg(failed.size())
                  .arg(rangeText(failed)));
}

void AProgrammer::reportInformation()
{
    const QString name = chipName(chipId);
    emit chipInfo(name, badBlocks);
    emit info(tr("%1 detected.").arg(name));
    if (badBlocks.isEmpty()) {
        emit info(tr("Bad blocks not found"));
        return;
    }
    QStringList numbers;
    for (const int block : std::as_const(badBlocks))
        numbers.append(QString::number(block));
    emit info(tr("Found %n bad block(s): %1", nullptr, int(badBlocks.size()))
                  .arg(numbers.join(QStringLiteral(", "))));
}

void AProgrammer::reportChipDetails()
{
    const ChipGeometry geometry = ChipGeometry::fromId(chipId);
    if (geometry.decoded)
        emit info(tr("Organisation: %1").arg(geometry.description()));
    const int limit = badBlockLimit(chipId);
    if (limit < 0)
        return;
    emit info(badBlocks.size() <= limit
                  ? tr("%1 bad block(s), within the limit of %2").arg(badBlocks.size()).arg(limit)
                  : tr("%1 bad block(s), over the limit of %2").arg(badBlocks.size()).arg(limit));
}
