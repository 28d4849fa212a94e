#include "engine/aprogrammer.h"

#include "engine/blockrange.h"
#include "engine/chipid.h"
#include "engine/imagebuffer.h"
#include "engine/imagedirectory.h"
#include "engine/logging.h"
#include "engine/operationresult.h"
#include "nand/blocktransfer.h"
#include "protocol/programmer.h"

#include <QTimerEvent>
#include <algorithm>
#include <initializer_list>
#include <utility>

namespace {

constexpr int PollIntervalMs = 1000;
// While no programmer is open nothing else wakes the worker; it looks for a request this often.
constexpr int IdleWaitMs = 50;
// How long isReady() waits for `requestLock`: longer than the worker's short checks between
// phases, far shorter than a phase.
constexpr int ReadyLockWaitMs = 100;

} // namespace

AProgrammer::AProgrammer(QObject *parent)
    : QThread(parent), programmer(new Programmer(this)),
      transfer(new BlockTransfer(*programmer, this)), requestSemaphore(0),
      buffer(new ImageBuffer(this)), current(std::make_unique<OperationResult>())
{
    qRegisterMetaType<OperationResult>();
    connect(buffer, &ImageBuffer::operationBegin, this, &AProgrammer::operationBegin);
    connect(buffer, &ImageBuffer::progress, this, &AProgrammer::progress);
    connect(buffer, &ImageBuffer::info, this, &AProgrammer::info);
    connect(buffer, &ImageBuffer::error, this, &AProgrammer::reportError);
    connect(buffer, &ImageBuffer::operationFinished, this, &AProgrammer::operationFinished);
    // Buffer files count their progress by the block just done, from 0.
    connect(buffer, &ImageBuffer::phaseProgress, this,
            [this](const QString &phase, int done, int total) {
                if (done == 0) {
                    progressMin = 0;
                    progressMax = total - 1;
                }
                emit phaseProgress(phase, done, total);
            });

    start();

    connect(programmer, &Programmer::info, this, &AProgrammer::info);
    connect(transfer, &BlockTransfer::info, this, &AProgrammer::info);
    pollTimerId = startTimer(PollIntervalMs);
    connect(programmer, &Programmer::deviceOpened, this, [this] {
        connectionReported = true;
        emit deviceConnected();
    });
    connect(programmer, &Programmer::deviceClosed, this, &AProgrammer::reportDisconnected);
    connect(programmer, &Programmer::fwUpgradeNeed, this, &AProgrammer::fwUpgradeNeed);
    connect(programmer, &Programmer::fwUpgradeProgress, this, &AProgrammer::fwUpgradeProgress);
}

AProgrammer::~AProgrammer()
{
    killTimer(pollTimerId);
    // Before the lock is waited for: a running phase stops before its next block, and neither
    // its follow-up nor a request filed meanwhile begins.
    closing = true;
    abort();
    {
        // Waits for a running phase to end: the worker holds the lock throughout.
        QMutexLocker locker(&requestLock);
        running = false;
    }
    requestSemaphore.release();
    wait();
}

int AProgrammer::readState()
{
    QMutexLocker locker(&stateLock);
    return state;
}

void AProgrammer::setState(int value)
{
    QMutexLocker locker(&stateLock);
    state = value;
}

bool AProgrammer::isBusy(int value)
{
    return value != Idle && value != Failed;
}

bool AProgrammer::lockHeldHere() const
{
    return lockHolder.load() == QThread::currentThread();
}

QList<int> AProgrammer::blocksOnFlash(const QList<int> &list)
{
    QList<int> kept;
    kept.reserve(list.size());
    QList<int> dropped;
    for (const int block : list) {
        if (block >= 0 && block < Programmer::blockCount())
            kept.append(block);
        else
            dropped.append(block);
    }
    if (!dropped.isEmpty())
        qCDebug(lcEngine) << "Blocks outside the Flash left out:" << dropped;
    return kept;
}

bool AProgrammer::requestOperation(OperationKind kind, QList<int> blocks, int total,
                                   RequestOptions options)
{
    // Called from inside the event processing of an open or a buffer file operation: the engine
    // is busy with that.
    if (lockHeldHere())
        return false;
    QMutexLocker locker(&requestLock);
    if (!admit(kind, std::move(blocks), total, false, options))
        return false;
    startRequest(kind);
    return true;
}

void AProgrammer::startRequest(OperationKind kind)
{
    *current = OperationResult();
    current->kind = kind;
    requestClock.start();
}

void AProgrammer::finishRequest(int status, const QString &text)
{
    emit operationFinished(text);
    current->status = OperationResult::Status(status);
    requestEnded = true;
}

void AProgrammer::publishResult()
{
    if (!std::exchange(requestEnded, false))
        return;
    current->chipId = chipId;
    current->badBlocks = badBlocks;
    current->elapsedMs = requestClock.isValid() ? requestClock.elapsed() : 0;
    emit operationResult(*current);
}

void AProgrammer::reportError(const QString &text)
{
    current->error = text;
    emit error(text);
}

QString AProgrammer::phaseKey(OperationKind kind)
{
    switch (kind) {
    case Read:
        return QStringLiteral("read");
    case Program:
    case AutoProgram:
        return QStringLiteral("program");
    case Erase:
        return QStringLiteral("erase");
    case Verify:
        return QStringLiteral("verify");
    case Check:
        return QStringLiteral("check");
    case Information:
        return QStringLiteral("info");
    case CalcHash:
        return QStringLiteral("hash");
    case SetBadBlocks:
        return QStringLiteral("mark");
    case SurfaceTest:
        return QStringLiteral("test");
    case Update:
    case ReadDirectory:
    case Idle:
    case Failed:
    case AbortRequested:
        break;
    }
    return QStringLiteral("directory");
}

bool AProgrammer::optionsFit(OperationKind kind, RequestOptions options)
{
    // The directory phase and an update carry the options of the phase that follows them.
    const auto only = [&](RequestOption option, std::initializer_list<OperationKind> kinds) {
        return !options.testFlag(option) || kind == ReadDirectory ||
               std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
    };
    return only(PhysicalBlocks, {Read, Verify, Check, CalcHash}) && only(KeepData, {SurfaceTest}) &&
           only(MarkFailed, {SurfaceTest}) && only(NoReadBack, {Program}) &&
           only(ProgramBlank, {Program, AutoProgram, Update}) &&
           only(CompareData, {Update, AutoProgram});
}

bool AProgrammer::admit(OperationKind kind, QList<int> list, int total, bool imageExtent,
                        RequestOptions options)
{
    if (isBusy(readState()) || !isBusy(kind) || kind == AbortRequested)
        return false;
    // Physical block numbers only for the kinds that leave the chip as it is.
    if (!optionsFit(kind, options))
        return false;

    const bool whole = list.isEmpty();
    if (whole && kind != SetBadBlocks) {
        list.reserve(Programmer::blockCount());
        for (int block = 0; block < Programmer::blockCount(); ++block)
            list.append(block);
    } else {
        // Directories of 32 entries describe blocks past the end of the chip; they have nothing
        // to be read from or written to. Marking bad needs named blocks: an empty list there
        // would mean every block of the chip.
        list = blocksOnFlash(list);
        if (list.isEmpty()) {
            emit error(tr("No Flash block to process"));
            return false;
        }
    }

    const int count = int(list.size());
    const QString text = BlockRangeList::fromBlocks(list).toString();
    title = requestTitle(kind, whole, count, text);
    eraseWhole = whole && (kind == Erase || kind == AutoProgram);
    fitToChip = whole || imageExtent;
    requestOptions = options;
    if (kind == CalcHash)
        buffer->resetDigests();
    // The directory is written last, so that a flash interrupted while it is being written
    // never describes chunks that are not there yet.
    if ((kind == Program || kind == AutoProgram) && list.removeOne(ImageDirectory::Block))
        list.append(ImageDirectory::Block);

    blocks = list;
    progressMin = 0;
    progressMax = total >= 0 ? total : count;
    setState(kind);
    emit progress(0);
    requestSemaphore.release();
    return true;
}

QString AProgrammer::requestTitle(OperationKind kind, bool whole, int count,
                                  const QString &text) const
{
    switch (kind) {
    case Read:
        return whole ? tr("Reading whole Flash...")
                     : tr("Reading %n Flash block(s): %1", nullptr, count).arg(text);
    case Program:
        return whole ? tr("Programming whole Flash...")
                     : tr("Programming %n Flash block(s): %1", nullptr, count).arg(text);
    case Erase:
        return whole ? tr("Erasing whole Flash...")
                     : tr("Erasing %n Flash block(s): %1", nullptr, count).arg(text);
    case AutoProgram:
        return whole ? tr("Auto-programming whole Flash...")
                     : tr("Auto-programming %n Flash block(s): %1", nullptr, count).arg(text);
    case Verify:
        return whole ? tr("Verifying whole Flash...")
                     : tr("Verifying %n Flash block(s): %1", nullptr, count).arg(text);
    case Check:
        return whole ? tr("Checking whole Flash...")
                     : tr("Checking %n Flash block(s): %1", nullptr, count).arg(text);
    case Information:
        return whole ? tr("Gathering information about whole Flash...")
                     : tr("Gathering information about %n Flash block(s): %1", nullptr, count)
                           .arg(text);
    case CalcHash:
        return whole ? tr("Computing hashes for whole Flash...")
                     : tr("Computing hashes for %n Flash block(s): %1", nullptr, count).arg(text);
    case SetBadBlocks:
        return tr("Marking %n Flash block(s) as bad: %1", nullptr, count).arg(text);
    case SurfaceTest:
        return whole ? tr("Testing whole Flash...")
                     : tr("Testing %n Flash block(s): %1", nullptr, count).arg(text);
    case Update:
    case ReadDirectory:
    case Idle:
    case Failed:
    case AbortRequested:
        break;
    }
    return tr("Reading firmware version info...");
}

bool AProgrammer::erase(QList<int> blocks)
{
    return requestOperation(Erase, std::move(blocks));
}

bool AProgrammer::erase()
{
    return erase(QList<int>());
}

bool AProgrammer::program(QList<int> blocks)
{
    return requestOperation(Program, std::move(blocks));
}

bool AProgrammer::program()
{
    return program(QList<int>());
}

bool AProgrammer::read(QList<int> blocks)
{
    return requestOperation(Read, std::move(blocks));
}

bool AProgrammer::read()
{
    return read(QList<int>());
}

bool AProgrammer::verify(QList<int> blocks)
{
    return requestOperation(Verify, std::move(blocks));
}

bool AProgrammer::verify()
{
    return verify(QList<int>());
}

bool AProgrammer::autoProgram(QList<int> blocks)
{
    return requestOperation(AutoProgram, std::move(blocks));
}

bool AProgrammer::autoProgram()
{
    return autoProgram(QList<int>());
}

bool AProgrammer::check(QList<int> blocks)
{
    return requestOperation(Check, std::move(blocks));
}

bool AProgrammer::check()
{
    return check(QList<int>());
}

bool AProgrammer::information(QList<int> blocks)
{
    return requestOperation(Information, std::move(blocks));
}

bool AProgrammer::information()
{
    return information(QList<int>());
}

bool AProgrammer::calcHash(QList<int> blocks)
{
    return requestOperation(CalcHash, std::move(blocks));
}

bool AProgrammer::calcHash()
{
    return calcHash(QList<int>());
}

bool AProgrammer::request(OperationKind kind, const BlockScope &scope, RequestOptions options)
{
    // An update finds its blocks itself, from the directories of the buffer and the chip.
    if (kind == Update)
        return requestOperation(Update, {ImageDirectory::Block}, -1, options);
    if (scope.kind() == BlockScope::List)
        return requestOperation(kind, scope.blocks(), -1, options);
    // Physical blocks have no image extent.
    if (scope.kind() == BlockScope::ImageExtent && !options.testFlag(PhysicalBlocks)) {
        switch (kind) {
        case Read:
        case CalcHash:
            return requestDirectoryPhase(kind, options);
        case Program:
        case Verify:
        case AutoProgram:
            return requestFromBufferDirectory(kind, options);
        default:
            break;
        }
    }
    // An empty list asks for the whole flash.
    return requestOperation(kind, {}, -1, options);
}

bool AProgrammer::setBadBlocks(QList<int> blocks)
{
    return requestOperation(SetBadBlocks, std::move(blocks));
}

bool AProgrammer::requestFromBufferDirectory(OperationKind kind, RequestOptions options)
{
    if (lockHeldHere())
        return false;
    QMutexLocker locker(&requestLock);
    if (isBusy(readState()))
        return false;
    const QList<int> list = bufferDirectoryBlocks();
    blocks.clear();
    if (list.isEmpty()) {
        emit error(tr("Invalid buffer content"));
        return false;
    }
    if (!admit(kind, list, -1, true, options))
        return false;
    startRequest(kind);
    return true;
}

bool AProgrammer::requestDirectoryPhase(OperationKind next, RequestOptions options)
{
    if (lockHeldHere())
        return false;
    QMutexLocker locker(&requestLock);
    if (isBusy(readState()))
        return false;
    followUp = next;
    if (!admit(ReadDirectory, {ImageDirectory::Block}, -1, false, options))
        return false;
    startRequest(next);
    return true;
}

bool AProgrammer::programAuto()
{
    return requestFromBufferDirectory(Program);
}

bool AProgrammer::readAuto()
{
    return requestDirectoryPhase(Read);
}

bool AProgrammer::verifyAuto()
{
    return requestFromBufferDirectory(Verify);
}

bool AProgrammer::autoProgramAuto()
{
    return requestFromBufferDirectory(AutoProgram);
}

bool AProgrammer::calcHashAuto()
{
    return requestDirectoryPhase(CalcHash);
}

bool AProgrammer::update()
{
    return requestOperation(Update, {ImageDirectory::Block});
}

void AProgrammer::abort()
{
    QMutexLocker locker(&stateLock);
    if (isBusy(state))
        state = AbortRequested;
}

void AProgrammer::run()
{
    for (;;) {
        if (programmer->isConnected()) {
            bool busy;
            {
                QMutexLocker locker(&requestLock);
                busy = isBusy(readState());
            }
            if (!busy)
                requestSemaphore.acquire();
        } else {
            requestSemaphore.tryAcquire(1, IdleWaitMs);
        }

        QMutexLocker locker(&requestLock);
        if (!running || closing)
            return;
        if (!isBusy(readState()))
            continue;

        emit phaseProgress(phaseKey(OperationKind(readState())), 0,
                           progressMax.load() - progressMin.load());
        emit operationBegin(title);
        phaseError.clear();
        OperationKind result = Failed;
        const bool powered = programmer->power(true) == Programmer::ResultOk;
        if (powered) {
            programmer->setBusyMode(true);
            result = execute();
        } else {
            qCDebug(lcEngine) << "Failed to power on";
        }
        // Taken before the device is switched off: a failed switch-off must not replace the
        // cause of the failure.
        const QString failure = phaseError.isEmpty() ? programmer->errorString() : phaseError;
        // Switched off while the lock is still held, so that no other thread drives the
        // programmer meanwhile.
        if (powered) {
            programmer->setBusyMode(false);
            programmer->power(false);
        }

        if (!programmer->isConnected())
            reportDisconnected();
        if (result == Failed) {
            setState(Failed);
            reportError(failure);
            finishRequest(OperationResult::Failed, tr("Failed"));
        } else {
            setState(Idle);
            // The follow-up phase is admitted before the lock is given up, so that no other
            // request can take its place.
            if (result != Idle && result != AbortRequested)
                admit(result, blocks, -1, true, requestOptions);
        }
        publishResult();
    }
}

void AProgrammer::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != pollTimerId) {
        QThread::timerEvent(event);
        return;
    }
    if (!programmer->isConnected())
        reportDisconnected();
    if (openDelay > 0)
        --openDelay;
    else if (autoOpen && !programmer->isConnected())
        open(0);
    event->accept();
}

void AProgrammer::reportDisconnected()
{
    if (connectionReported.exchange(false))
        emit deviceDisconnected();
}

bool AProgrammer::open(int index)
{
    return openWith([this, index] { return programmer->open(index); });
}

bool AProgrammer::openSerial(const QString &serialNumber)
{
    return openWith([this, serialNumber] { return programmer->open(serialNumber); });
}

QByteArray AProgrammer::chipIdBytes()
{
    if (lockHeldHere())
        return chipId;
    QMutexLocker locker(&requestLock);
    return chipId;
}

QList<int> AProgrammer::badBlockList()
{
    if (lockHeldHere())
        return badBlocks;
    QMutexLocker locker(&requestLock);
    return badBlocks;
}

BlockMap AProgrammer::blockMap()
{
    return BlockMap::withBadBlocks(badBlockList());
}

bool AProgrammer::runFileOperation(const std::function<bool()> &operation)
{
    if (lockHeldHere())
        return false;
    // The worker holds the lock for a whole phase: a lock that stays taken means busy.
    if (!requestLock.tryLock(ReadyLockWaitMs))
        return false;
    requestLock.unlock();
    GuiLock lock(*this);
    if (isBusy(readState()))
        return false;
    const bool done = operation();
    setState(Idle);
    return done;
}

bool AProgrammer::loadBuffer(QIODevice *file)
{
    return runFileOperation([this, file] { return buffer->load(file); });
}

bool AProgrammer::saveBuffer(QIODevice *file, QList<int> blocks)
{
    return runFileOperation([this, file, &blocks] { return buffer->save(file, blocks); });
}

qint64 AProgrammer::loadedFileSize() const
{
    return buffer->loadedSize();
}

bool AProgrammer::emitHashes()
{
    return buffer->emitHashes();
}

Digests AProgrammer::bufferDigests() const
{
    return buffer->digests();
}

QList<int> AProgrammer::bufferDirectoryBlocks()
{
    return buffer->directoryBlocks();
}

bool AProgrammer::openWith(const std::function<bool()> &openDevice)
{
    if (lockHeldHere())
        return false;
    // Opening a programmer in place of an open one ends the work on the old one: a running
    // phase stops before its next block instead of running to its end.
    const bool replacing = programmer->isConnected();
    if (replacing)
        abort();
    GuiLock lock(*this);
    // Still busy: a request was accepted but not started. It is dropped, and reported as
    // ended so that the window does not wait for it. Without an open programmer it stays, and
    // runs on the one opened here or fails as not connected.
    if (replacing && isBusy(readState())) {
        setState(Idle);
        finishRequest(OperationResult::Aborted, tr("Operation aborted"));
        publishResult();
    }
    const bool opened = openDevice();
    {
        QMutexLocker locker(&stateLock);
        if (!isBusy(state))
            state = Idle;
    }
    return opened;
}

QString AProgrammer::openError() const
{
    if (!programmer->firmwareUnsupported())
        return programmer->errorString();
    const QString link =
        QStringLiteral("<a href=\"%1\">%1</a>").arg(QLatin1String(DownloadAddress));
    return programmer->errorString() + QLatin1Char('\n') +
           tr("Please download new version of Velmora NPX4 Programmer from %1.").arg(link);
}

bool AProgrammer::fwUprgade()
{
    if (lockHeldHere())
        return false;
    GuiLock lock(*this);
    emit phaseProgress(QStringLiteral("upgrade"), 0, 0);
    emit operationBegin(tr("Upgrading device firmware..."));
    if (programmer->upgradeFirmware() == Programmer::ResultOk) {
        emit operationFinished(tr("Finished"));
        return true;
    }
    emit error(programmer->errorString());
    emit operationFinished(tr("Failed"));
    return false;
}

bool AProgrammer::isReady()
{
    if (!programmer->isConnected())
        return false;
    // This thread holds the lock itself: an open, a file operation or an upgrade runs.
    if (lockHeldHere())
        return false;
    // A lock that stays taken means a phase is running.
    if (!requestLock.tryLock(ReadyLockWaitMs))
        return false;
    const bool idle = !isBusy(readState());
    requestLock.unlock();
    return idle;
}

bool AProgrammer::isEccSupported() const
{
    return programmer->fwVersion() >= 0x0104;
}

bool AProgrammer::isEccEnabled() const
{
    return programmer->useEcc() && isEccSupported();
}

void AProgrammer::setEcc(bool on)
{
    // The ECC setting changes the data phases of the block transfers: never during a phase.
    if (lockHeldHere()) {
        programmer->setUseEcc(on);
        return;
    }
    QMutexLocker locker(&requestLock);
    programmer->setUseEcc(on);
}

int AProgrammer::badBlockLimit(const QByteArray &id) const
{
    const int wanted = badBlockLimitWanted.load();
    return wanted >= 0 ? wanted : datasheetBadBlockLimit(id);
}

int AProgrammer::blockCount() const
{
    return Programmer::blockCount();
}
