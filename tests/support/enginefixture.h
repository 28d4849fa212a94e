#pragma once

#include "engine/aprogrammer.h"
#include "engine/operationresult.h"
#include "protocol/geometry.h"
#include "sim/simprogrammerset.h"
#include "support/countingdriver.h"

#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>

class NandChip;

// What an engine reports, in arrival order ("begin: ", "info: ", "error: ", "finished: " and
// "chip: <name> [<bad blocks>]" lines; progress and results apart). The worker's signals arrive
// queued: QSignalSpy records them on the worker's thread without a lock.
class EngineLog : public QObject
{
    Q_OBJECT

public:
    explicit EngineLog(AProgrammer *engine);

    // Processes events until a request has finished and given its result since the last clear().
    bool waitFinished();
    void clear();

    QStringList lines;
    QList<int> progress;
    QList<OperationResult> results;
};

// An engine on simulated programmers built from a configuration text, with programmer 0 opened
// when asked for.
class SimEngine
{
public:
    explicit SimEngine(const QByteArray &config = "1", bool open = true);

    // Files a request, waits for its end and returns what was reported meanwhile; a refused
    // request adds the line "refused".
    QStringList run(const std::function<bool(AProgrammer &)> &request);
    NandChip &chip() const { return set.chip(0); }
    // The result of the last request run(), which must have given one.
    const OperationResult &result() const { return log->results.constLast(); }

    // In this order: the engine goes before the simulated programmers it uses.
    SimProgrammerSet set;
    CountingDriver driver;
    std::unique_ptr<AProgrammer> engine;
    std::unique_ptr<EngineLog> log;
};

// One engine for all rows of the running test function: building an engine costs more than
// most rows. Call releaseUnlessCurrent() from the test's init(): an engine left from another
// function would let its device poll open the next function's simulated programmer.
class SharedEngine
{
public:
    SimEngine &get(const QByteArray &config = "1", bool open = true);
    void releaseUnlessCurrent();

private:
    std::unique_ptr<SimEngine> engine;
    QByteArray function;
};

// One block of data that differs for every seed.
QByteArray blockPattern(quint32 seed);
// An image of 3 + 32 x n blocks of patterns whose block 2 holds the n directory entries.
QByteArray imageWithDirectory(const QList<QByteArray> &entries, quint32 seed = 1);
// A 16-byte directory entry that is not all 0x00 or 0xFF.
QByteArray directoryEntry(char fill);

bool loadImage(AProgrammer &engine, const QByteArray &image);
// The whole buffer, as saving every block gives it; valid until the next call (one array serves
// all calls: fresh memory of this size is slow to come by).
const QByteArray &bufferImage(AProgrammer &engine);
// What the chip holds in physical `block`, and writing it there without the programmer.
QByteArray chipBlock(const NandChip &chip, int block);
void writeChipBlock(NandChip &chip, int block, const QByteArray &data);
// Delivers one tick of the engine's device poll timer at once.
void sendPollTick(AProgrammer &engine);
// The CRC-32 and the three digest lines of `data`, computed independently of the engine.
quint32 slowCrc32(QByteArrayView data);
QStringList digestLines(const QByteArray &data);
