#include "engine/aprogrammer.h"

#include "engine/blockrange.h"
#include "engine/chipid.h"
#include "engine/imagedirectory.h"
#include "engine/logging.h"
#include "protocol/programmer.h"

#include <QStringList>
#include <cstring>
#include <vector>

namespace {

// What a phase has learnt about a physical block.
enum BlockStatus : qint8
{
    Unknown,
    Good,
    Bad
};

bool ok(int result)
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
    // Blocks still have to be erased one by one (no fast full erase happened).
    bool needErase = true;
    // Logical blocks skip bad physical ones; off where blocks are worked on in place.
    bool skipBad = true;
    int completed = 0;
    // Each physical block's status, asked from the programmer at most once per phase.
    std::vector<BlockStatus> status;
};

AProgrammer::OperationKind AProgrammer::execute()
{
    Phase phase;
    phase.kind = OperationKind(readState());
    // Aborted before it started: nothing is done, not even the fast full erase of a whole-flash
    // request.
    if (phase.kind == AbortRequested) {
        emit operationFinished(tr("Operation aborted"));
        return Idle;
    }
    OperationKind result = Idle;
    if (!startPhase(phase, &result))
        return result;

    for (const int logical : std::as_const(phase.list)) {
        for (;;) {
            int physical = -1;
            if (!mapBlock(phase, logical, &physical))
                return Failed;
            if (readState() == AbortRequested) {
                emit operationFinished(tr("Operation aborted"));
                return Idle;
            }
            // Gathering information touches no block: running out of good blocks is harmless.
            if (physical < 0 && phase.kind != Information) {
                phaseError = tr("No good Flash block is left for block %1").arg(logical);
                return Failed;
            }
            const StepResult step = runStep(phase, logical, physical);
            if (step == StepResult::Failed)
                return Failed;
            if (step == StepResult::Done)
                break;
        }
        ++phase.completed;
        emit progress(phase.completed);
    }
    return complete(phase);
}

bool AProgrammer::startPhase(Phase &phase, OperationKind *result)
{
    chipId.clear();
    const int idResult = programmer->readId(chipId);
    // Firmware without the ID command: no chip test.
    if (idResult != Programmer::ResultUnsupported) {
        if (!ok(idResult)) {
            *result = Failed;
            return false;
        }
        if (isChipMissing(chipId)) {
            emit error(tr("Flash is not inserted to the programmer"));
            emit operationFinished(tr("Failed"));
            *result = Idle;
            return false;
        }
    }

    phase.deviceTableKnown = ok(programmer->readBadBlockList(badBlocks));
    phase.status.assign(size_t(Programmer::blockCount()), phase.deviceTableKnown ? Good : Unknown);
    if (phase.deviceTableKnown) {
        for (const int block : std::as_const(badBlocks)) {
            if (block >= 0 && block < Programmer::blockCount())
                phase.status[size_t(block)] = Bad;
        }
    } else {
        badBlocks.clear();
    }

    phase.list = blocks;
    // Bad blocks are marked where they are named.
    phase.skipBad = phase.kind != SetBadBlocks;
    if (eraseWhole) {
        phase.skipBad = false;
        if (ok(programmer->fastErase(unsigned(Programmer::blockCount()), true)))
            phase.needErase = false;
        else
            qCDebug(lcEngine) << "Fast full erase failed, falling back to block by block mode...";
    }
    return true;
}

bool AProgrammer::mapBlock(Phase &phase, int block, int *physical)
{
    if (!phase.skipBad) {
        *physical = block;
        return true;
    }
    // Logical block L lives in the (L+1)-th good physical block.
    int goodBelow = 0;
    for (int candidate = 0; candidate < Programmer::blockCount(); ++candidate) {
        bool bad = false;
        if (!isBadBlock(phase, candidate, &bad))
            return false;
        if (bad)
            continue;
        if (goodBelow == block) {
            *physical = candidate;
            return true;
        }
        ++goodBelow;
    }
    *physical = -1;
    return true;
}

bool AProgrammer::isBadBlock(Phase &phase, int block, bool *bad)
{
    BlockStatus &status = phase.status[size_t(block)];
    if (status == Unknown) {
        quint8 marks[2];
        if (!ok(programmer->readBlockMarks(block, marks)))
            return false;
        if (marks[0] != 0 && marks[1] != 0)
            status = Good;
        else
            noteBadBlock(phase, block);
    }
    *bad = status == Bad;
    return true;
}

void AProgrammer::noteBadBlock(Phase &phase, int block)
{
    phase.status[size_t(block)] = Bad;
    if (!badBlocks.contains(block))
        badBlocks.append(block);
}

bool AProgrammer::markBlockBad(Phase &phase, int block)
{
    if (!ok(programmer->markBad(block)))
        return false;
    emit info(tr("Block %1 marked as bad").arg(block));
    noteBadBlock(phase, block);
    return true;
}

QByteArray AProgrammer::bufferBlock(int block)
{
    const qsizetype size = Programmer::blockSize();
    return QByteArray::fromRawData(imageBuffer().data().constData() + block * size, size);
}

AProgrammer::StepResult AProgrammer::runStep(Phase &phase, int logical, int physical)
{
    const auto done = [](int result) { return ok(result) ? StepResult::Done : StepResult::Failed; };
    switch (phase.kind) {
    case Read: {
        const int result = programmer->readBlock(physical, phase.data);
        // What arrived is kept, also from a failed read.
        const qsizetype size = qMin<qsizetype>(phase.data.size(), Programmer::blockSize());
        std::memcpy(imageBuffer().buffer().data() + qsizetype(logical) * Programmer::blockSize(),
                    phase.data.constData(), size_t(size));
        return done(result);
    }
    case Program:
        return done(programmer->programBlock(physical, bufferBlock(logical)));
    case Erase: {
        if (!phase.needErase)
            return StepResult::Done;
        const int result = programmer->eraseBlock(physical, !phase.skipBad);
        // Erasing the whole chip in place passes over blocks that fail to erase.
        if (!phase.skipBad && result == Programmer::ResultOperationError)
            return StepResult::Done;
        return done(result);
    }
    case AutoProgram:
        return autoProgramStep(phase, logical, physical);
    case Verify:
        return done(programmer->verifyBlock(physical, bufferBlock(logical)));
    case Check:
        return done(programmer->blankCheck(physical));
    case Information:
        return StepResult::Done;
    case CalcHash: {
        const int result = programmer->readBlock(physical, phase.data);
        addToDigests(phase.data);
        return done(result);
    }
    case Update:
    case ReadDirectory:
        return done(programmer->readBlock(physical, phase.data));
    case SetBadBlocks: {
        bool bad = false;
        if (!isBadBlock(phase, physical, &bad))
            return StepResult::Failed;
        return bad || markBlockBad(phase, physical) ? StepResult::Done : StepResult::Failed;
    }
    default:
        return StepResult::Failed;
    }
}

AProgrammer::StepResult AProgrammer::autoProgramStep(Phase &phase, int logical, int physical)
{
    if (phase.needErase) {
        int result = programmer->eraseBlock(physical, false);
        if (result == Programmer::ResultOperationError)
            result = programmer->eraseBlock(physical, false);
        if (result == Programmer::ResultOperationError) {
            const QString eraseError = programmer->errorString();
            if (!markBlockBad(phase, physical))
                return StepResult::Failed;
            // In place the block maps onto itself again: retrying could only repeat this.
            if (!phase.skipBad) {
                phaseError = eraseError;
                return StepResult::Failed;
            }
            return StepResult::Remap;
        }
        if (!ok(result))
            return StepResult::Failed;
    }
    const QByteArray data = bufferBlock(logical);
    if (!ok(programmer->programBlock(physical, data)))
        return StepResult::Failed;
    return ok(programmer->verifyBlock(physical, data)) ? StepResult::Done : StepResult::Failed;
}

AProgrammer::OperationKind AProgrammer::complete(Phase &phase)
{
    // An abort noted after the last block leaves the state AbortRequested: the phase then just
    // completes, without report or follow-up.
    switch (readState()) {
    case ReadDirectory:
        blocks = directoryBlocks(phase.data);
        if (blocks.isEmpty()) {
            emit error(tr("Invalid or empty flash content"));
            emit operationFinished(tr("Failed"));
            return Idle;
        }
        return OperationKind(followUp);
    case Update:
        return updateRule(phase.data);
    case CalcHash:
        if (!emitHashes()) {
            emit operationFinished(tr("Failed"));
            return Idle;
        }
        break;
    case Information:
        reportInformation();
        break;
    default:
        break;
    }
    emit operationFinished(tr("Complete"));
    return Idle;
}

AProgrammer::OperationKind AProgrammer::updateRule(const QByteArray &flashDirectory)
{
    using namespace ImageDirectory;
    // A flash without a directory has every chunk changed.
    QList<QByteArray> flashEntries = directoryEntries(flashDirectory, MaxEntries);

    const qint64 blockSize = Programmer::blockSize();
    QByteArray bufferDirectory;
    if (imageBuffer().seek(Block * blockSize))
        bufferDirectory = buffer.read(blockSize);
    if (bufferDirectory.size() < blockSize) {
        emit error(tr("Failed to read buffer"));
        emit operationFinished(tr("Internal error"));
        return Idle;
    }
    QList<QByteArray> bufferEntries = directoryEntries(bufferDirectory, MaxEntries);
    if (bufferEntries.isEmpty()) {
        emit error(tr("Invalid buffer content"));
        emit operationFinished(tr("Updating aborted"));
        return Idle;
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
    return AutoProgram;
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
