#pragma once

#include "engine/blockmap.h"
#include "engine/blockscope.h"
#include "protocol/programmer.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QString>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>

class BlockTransfer;
class ImageBuffer;
struct Digests;
class QIODevice;
struct OperationResult;

// The operation engine: the one object through which the window reaches the programmer. It owns
// the `Programmer`, the flash image buffer (`ImageBuffer`), the chip ID and the list of bad
// blocks. Requests are filed by the slots in the GUI thread and run, one phase at a time, by the
// engine's own worker thread (`run()`), which reports through the signals: the log texts for
// people, and one `operationResult` per request as data. The engine also polls once a second
// for a programmer to open (unless told not to), and wraps the buffer files and the firmware
// upgrade.
//
// Locks: `requestLock` guards the request and is held by the worker for a whole phase, so the
// `Programmer` is only ever driven by the thread holding it; `stateLock` guards `state` alone and
// is held only for single reads and writes. The order is always `requestLock` before
// `stateLock`.
class AProgrammer : public QThread
{
    Q_OBJECT
    Q_MOC_INCLUDE("engine/operationresult.h")

public:
    // The state word and the kinds of request. Idle means `Idle` or `Failed`; every other value
    // is busy.
    enum OperationKind
    {
        Idle = 0,
        Read = 1,
        Program = 2,
        Erase = 3,
        AutoProgram = 4,
        Verify = 5,
        Check = 6,
        Failed = 7,
        AbortRequested = 8,
        Information = 9,
        CalcHash = 10,
        Update = 11,
        ReadDirectory = 12,
        SetBadBlocks = 13,
        // The surface test: each good physical block erased, written with a pattern and its
        // complement and read back; it ends erased (or, with KeepData, as it was).
        SurfaceTest = 14,
    };
    Q_ENUM(OperationKind)

    // Options of a request beside its kind and blocks.
    enum RequestOption
    {
        NoOption = 0,
        // Block numbers are physical: no bad block is skipped. Bad blocks are not read; a read
        // or a digest takes 0xFF in their place. Only for Read, Verify, Check and CalcHash.
        PhysicalBlocks = 1,
        // Of a surface test: each block is read first and written back at its end.
        KeepData = 2,
        // Of a surface test: blocks that fail are marked bad.
        MarkFailed = 4,
        // Of writes: program blocks whose data is all 0xFF too, instead of leaving them erased.
        ProgramBlank = 8,
        // Of Program: no read-back of the blocks written.
        NoReadBack = 16,
        // Of an update: every image block is read and only those that differ are rewritten,
        // whatever the image directories say.
        CompareData = 32,
    };
    Q_DECLARE_FLAGS(RequestOptions, RequestOption)

    // Where the newest version of the program can be downloaded.
    static constexpr char DownloadAddress[] =
        "https://velmora.example/download/npx4-prog-setup.exe";

    explicit AProgrammer(QObject *parent = nullptr);
    ~AProgrammer() override;

    // True when a programmer is open and no operation is pending or running.
    bool isReady();
    // Why the last open failed, for the user: with a link to the download where a newer
    // version of the program is needed.
    QString openError() const;
    bool isEccSupported() const;
    bool isEccEnabled() const;
    void setEcc(bool on);
    // Writes to a chip whose ID says another geometry than the programmer's are refused unless
    // forced; reads go on with a warning.
    void setForceGeometry(bool on) { forceGeometry = on; }
    // The most bad blocks a chip may have to be written; -1 takes the chip's datasheet limit
    // where the chip is known, and no limit otherwise.
    void setBadBlockLimit(int limit) { badBlockLimitWanted = limit; }
    // The limit that applies to the chip with `id`; -1 for none.
    int badBlockLimit(const QByteArray &id) const;
    // Reads (of Read, CalcHash and Verify) take each block this often and keep the majority of
    // every byte; 1 reads once.
    void setReadRepeat(int reads) { readRepeat = qBound(1, reads, MaxReadRepeat); }
    static constexpr int MaxReadRepeat = 15;
    // Without ECC, a verify allows up to `bits` flipped bits per page, counting them.
    void setBitflipTolerance(int bits) { bitflipTolerance = qMax(0, bits); }
    int blockCount() const;
    // Progress range of the phase that is starting; read when `operationBegin` arrives.
    int progressMinimum() const { return progressMin.load(); }
    int progressMaximum() const { return progressMax.load(); }

    // Buffer files, run in the GUI thread. False when the engine is busy (nothing is emitted)
    // or the file operation failed.
    bool loadBuffer(QIODevice *file);
    bool saveBuffer(QIODevice *file, QList<int> blocks);
    // The size of the file the last successful load read, in bytes.
    qint64 loadedFileSize() const;
    // Emits the CRC32, MD5 and SHA1 lines of the accumulators; false, after an error line, when
    // the system's OpenSSL could not compute MD5 or SHA1.
    bool emitHashes();
    // The accumulators' digests: those of the last loaded file or hash request. Call it while
    // the engine is idle.
    Digests bufferDigests() const;
    // The blocks of the image described by the directory in the buffer's block 2 (empty when
    // there is none); may reach past the last block. Call it while the engine is idle.
    QList<int> bufferDirectoryBlocks();
    // The ID bytes the last phase read from the chip; empty before the first phase.
    QByteArray chipIdBytes();
    // The chip's bad blocks as the last phase knew them at its end, blocks it marked included.
    QList<int> badBlockList();
    // Where the image blocks live on the chip, by the bad blocks the last phase knew.
    BlockMap blockMap();
    // The once-a-second poll that opens a programmer when none is open; on by default. A
    // program that opens its programmer itself switches it off.
    void setAutoOpen(bool on) { autoOpen = on; }
    // The stable key of the phases of `kind` in progress reports: "read", "program", "erase",
    // "verify", "check", "info", "hash", "directory", "mark", "test".
    static QString phaseKey(OperationKind kind);

signals:
    void info(QString text);
    void chipInfo(QString text, QList<int> badBlocks);
    void error(QString text);
    void progress(int value);
    void operationBegin(QString job);
    void operationFinished(QString status);
    void deviceDisconnected();
    void deviceConnected();
    void fwUpgradeNeed(QString oldVersion, QString newVersion);
    void fwUpgradeProgress(int current, int max);
    // Logical blocks of the running request that were left out because no good Flash block is
    // left for them; sent with the info line that names them.
    void blocksLeftOut(QList<int> blocks);
    // `done` of the `total` blocks of the running phase are done; `phase` is a key of
    // phaseKey(), or "load" or "save". Sent with 0 right before the phase begins, as is
    // "upgrade" before a firmware upgrade, whose steps fwUpgradeProgress() gives.
    void phaseProgress(QString phase, int done, int total);
    // A request ended: what it did, after its operationFinished().
    void operationResult(const OperationResult &result);

public slots:
    bool open(int index);
    // Opens the programmer with this serial number, which stays the same across replugging.
    bool openSerial(const QString &serialNumber);
    bool erase(QList<int> blocks);
    bool erase();
    bool program(QList<int> blocks);
    bool program();
    bool read(QList<int> blocks);
    bool read();
    bool verify(QList<int> blocks);
    bool verify();
    bool autoProgram(QList<int> blocks);
    bool autoProgram();
    bool check(QList<int> blocks);
    bool check();
    bool information(QList<int> blocks);
    bool information();
    bool calcHash(QList<int> blocks);
    bool calcHash();
    // A request of `kind` over `scope` with `options`. The image extent is the buffer's for the
    // kinds that write or compare the buffer, the chip's for Read and CalcHash, and the whole
    // flash for the others.
    bool request(OperationKind kind, const BlockScope &scope, RequestOptions options = NoOption);
    // Marks the given physical blocks bad on the chip.
    bool setBadBlocks(QList<int> blocks);
    bool programAuto();
    bool readAuto();
    bool verifyAuto();
    bool autoProgramAuto();
    bool calcHashAuto();
    bool update();
    void abort();
    bool fwUprgade();

protected:
    void run() override;
    void timerEvent(QTimerEvent *event) override;

private:
    class GuiLock;
    struct Phase;
    enum class StepResult
    {
        Done,
        Remap,
        Failed
    };

    // Admission of a request; see aprogrammer.cpp. `admit` expects `requestLock` held.
    bool requestOperation(OperationKind kind, QList<int> blocks, int total = -1,
                          RequestOptions options = NoOption);
    // `imageExtent`: the blocks are the extent of an image, not a list the user chose; like the
    // whole flash, its trailing blocks may be left out when no good block is left for them.
    bool admit(OperationKind kind, QList<int> blocks, int total, bool imageExtent = false,
               RequestOptions options = NoOption);
    // A new request was admitted: its result starts empty.
    void startRequest(OperationKind kind);
    // Ends the request with `text` and its result with `status` (an OperationResult::Status);
    // publishResult() then gives the result, once the phase has noted what it did.
    void finishRequest(int status, const QString &text);
    void publishResult();
    // An error line of the running request, which its result keeps.
    void reportError(const QString &text);
    QString requestTitle(OperationKind kind, bool whole, int count, const QString &text) const;
    bool requestFromBufferDirectory(OperationKind kind, RequestOptions options = NoOption);
    bool requestDirectoryPhase(OperationKind next, RequestOptions options = NoOption);
    // Whether `options` apply to requests of `kind`.
    static bool optionsFit(OperationKind kind, RequestOptions options);
    // `list` without the numbers that are no block of the flash.
    static QList<int> blocksOnFlash(const QList<int> &list);
    // True in the thread that holds `requestLock` through a GuiLock: it must not lock again.
    bool lockHeldHere() const;

    int readState();
    void setState(int value);
    static bool isBusy(int value);

    // One phase of the running request, in the worker thread with `requestLock` held.
    OperationKind execute();
    OperationKind executePhase(Phase &phase);
    // Notes what the phase did in the request's result.
    void notePhase(const Phase &phase);
    void reportProgress(const Phase &phase);
    bool startPhase(Phase &phase, OperationKind *result);
    // Leaves out the logical blocks `beyond`, which have no good Flash block, as far as the rule
    // of the request allows; false (with the reason set) when the phase must fail instead.
    bool leaveOut(Phase &phase, const QList<int> &beyond);
    // Ends the phase with `reason`, saying which blocks were done before.
    void failPhase(Phase &phase, const QString &reason);
    // Erases the directory block's Flash block at the start of a phase that writes it last, so
    // that a block that fails to erase is replaced while nothing above it has been written.
    bool preEraseDirectory(Phase &phase);
    // Erases `physical` before logical `logical` is written there, with one retry; a block that
    // fails twice is marked bad, and the logical block must be mapped again (Remap).
    StepResult eraseForWriting(Phase &phase, int logical, int physical);
    // A step over a bad block of a physical request.
    StepResult physicalBadStep(Phase &phase, int logical, int physical);
    // Maps logical `block` onto the chip; false when a device query failed. `*physical` is -1
    // when no good block is left for it.
    bool mapBlock(Phase &phase, int block, int *physical);
    // Whether physical `block` is bad; false when a device query failed.
    bool isBadBlock(Phase &phase, int block, bool *bad);
    // The chip checks at the start of a phase: geometry, supply and bad-block limit. False when
    // the request ends here.
    bool checkChip(Phase &phase);
    // A warning line about the chip, shown once per request.
    void warn(const QString &text);
    StepResult surfaceTestStep(Phase &phase, int block);
    // Reads physical `physical` into `data`, as often as asked, noting unstable blocks;
    // `logical` names it in the result.
    Programmer::Result readForRequest(int logical, int physical, QByteArray &data);
    // Verifies physical `physical` against image block `logical`; a difference is noted and
    // the step goes on, unless `stop`.
    StepResult verifyStep(Phase &phase, int logical, int physical, bool stop);
    // Writes image block `logical` to `physical`, leaving an all-0xFF block erased unless
    // asked otherwise.
    Programmer::Result programStep(int logical, int physical);
    // The log lines of a phase's differences, unstable blocks and blank blocks.
    void reportFindings(const Phase &phase);
    // Marks physical `block` bad after it failed while logical `logical` was written there;
    // Remap when the logical block can move to the next good block.
    StepResult replaceBlock(Phase &phase, int logical, int physical);
    // Asks the chip for the marks of physical `block`.
    bool readBadMark(int block, bool *bad);
    void noteBadBlock(Phase &phase, int block);
    StepResult runStep(Phase &phase, int logical, int physical);
    StepResult autoProgramStep(Phase &phase, int logical, int physical);
    // Marks physical `block` bad on the chip and reports it; false when the device refused.
    bool markBlockBad(Phase &phase, int block);
    OperationKind complete(Phase &phase);
    OperationKind updateRule(const QByteArray &flashDirectory);
    void reportInformation();
    void reportSurfaceTest(const Phase &phase);
    // The chip's organisation from its ID and its bad blocks against the limit.
    void reportChipDetails();
    // Runs a buffer file operation in this thread; false when the engine is busy.
    bool runFileOperation(const std::function<bool()> &operation);
    // Opens a programmer through `openDevice` in place of the open one, if any.
    bool openWith(const std::function<bool()> &openDevice);
    // Reports the loss of the programmer once, however it was noticed: by the channel's watch
    // or by a transfer that failed and closed the connection.
    void reportDisconnected();

    Programmer *programmer;
    // The block transfers over `programmer`.
    BlockTransfer *transfer;
    QSemaphore requestSemaphore;
    QMutex requestLock;
    QMutex stateLock;
    bool running = true;
    int state = Idle;
    int followUp = Idle;
    QList<int> blocks;
    QList<int> badBlocks;
    ImageBuffer *buffer;
    std::atomic<int> progressMin{0};
    std::atomic<int> progressMax{0};
    QString title;
    int pollTimerId = 0;
    bool autoOpen = true;
    bool eraseWhole = false;
    // The request covers the whole flash or an image's extent (see admit()).
    bool fitToChip = false;
    RequestOptions requestOptions;
    // Image blocks that an update leaves as they are: the auto-programming phase after it must
    // not move them.
    QList<int> keepInPlace;
    // The auto-programming phase after a comparing update reads each block before writing it.
    bool compareBeforeWrite = false;
    // Set when the engine is being destroyed: no new phase begins, the running one stops.
    std::atomic<bool> closing{false};
    std::atomic<bool> forceGeometry{false};
    std::atomic<int> badBlockLimitWanted{-1};
    std::atomic<int> readRepeat{1};
    std::atomic<int> bitflipTolerance{0};
    QByteArray chipId;
    int openDelay = 2;
    // The thread that holds `requestLock` through a GuiLock, if any.
    std::atomic<QThread *> lockHolder{nullptr};
    // deviceConnected() was reported and deviceDisconnected() not since.
    std::atomic<bool> connectionReported{false};
    // Text of a failure the executor found itself, reported instead of the programmer's text.
    QString phaseError;
    // What the running request did so far, and since when it runs; only the thread that holds
    // `requestLock` touches them.
    std::unique_ptr<OperationResult> current;
    QElapsedTimer requestClock;
    bool requestEnded = false;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(AProgrammer::RequestOptions)

// Holds `requestLock` for an operation of the engine's own thread that processes events while it
// runs (open, buffer files, firmware upgrade), and marks the thread as its holder: calls made from
// inside that event processing see lockHeldHere() and do not lock a second time.
class AProgrammer::GuiLock
{
public:
    explicit GuiLock(AProgrammer &engine) : engine(engine)
    {
        engine.requestLock.lock();
        engine.lockHolder.store(QThread::currentThread());
    }
    ~GuiLock()
    {
        engine.lockHolder.store(nullptr);
        engine.requestLock.unlock();
    }
    GuiLock(const GuiLock &) = delete;
    GuiLock &operator=(const GuiLock &) = delete;

private:
    AProgrammer &engine;
};
