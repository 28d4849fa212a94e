#pragma once

#include "engine/aprogrammer.h"
#include "engine/imagebuffer.h"
#include "nand/eccevent.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

// What one request of the engine did, given once by AProgrammer::operationResult() when the
// request ends, after its last phase. The window's figures, the command line, its JSON and its
// reports read this; the log lines are for people and are never parsed.
struct OperationResult
{
    enum Status
    {
        Complete,
        // A device or data failure; `error` says which.
        Failed,
        Aborted,
        NoChip,
        // The chip's block 2 holds no image directory, so the image's blocks are unknown.
        NoFlashImage,
        // The buffer's block 2 holds no image directory (an update).
        NoBufferImage,
        // The chip's ID says a geometry other than the programmer's; nothing was written.
        WrongGeometry,
        // The chip has more bad blocks than its limit allows; nothing was written.
        TooManyBadBlocks,
    };

    // A block that failed the surface test, and how.
    struct BlockFault
    {
        enum Kind
        {
            Erase,
            Program,
            // The block could not be read back (a transfer or an uncorrectable ECC error).
            Read,
            // It read back other than written.
            Compare,
        };
        int block = -1;
        Kind kind = Compare;
        // Of a comparison: bits written as 1 that read 0, and written as 0 that read 1.
        int bitsCleared = 0;
        int bitsSet = 0;
        bool operator==(const BlockFault &other) const
        {
            return block == other.block && kind == other.kind && bitsCleared == other.bitsCleared &&
                   bitsSet == other.bitsSet;
        }
    };

    // The kind that was requested: Read for a read of the image extent, whose first phase reads
    // the directory; Update for an update, whose second phase auto-programs.
    AProgrammer::OperationKind kind = AProgrammer::Idle;
    Status status = Failed;
    // The error line the engine showed for the failure, as shown; empty on success.
    QString error;
    // Logical blocks (physical ones for a physical request) of the request's last phase: those
    // it was to work on, those it did, and those it left out for want of good Flash blocks.
    QList<int> blocks;
    QList<int> done;
    QList<int> leftOut;
    // Physical blocks this request marked bad, in the order it marked them.
    QList<int> newlyBad;
    // Bad physical blocks that a physical request passed over (not read or tested).
    QList<int> unread;
    // The blocks that failed a surface test, in the order tested.
    QList<BlockFault> faults;
    // Warning lines the request showed about the chip (low voltage, other geometry).
    QStringList warnings;
    // What the ECC checks of the request's block reads found, in order.
    QList<EccEvent> eccEvents;
    // A block that a verify found to differ from the image: its logical and physical block,
    // the first differing byte (in the block and in the image), and the bytes and bits that
    // differ.
    struct Difference
    {
        int block = -1;
        int physical = -1;
        qsizetype offset = 0;
        qint64 imageOffset = 0;
        uchar expected = 0;
        uchar actual = 0;
        int bytes = 0;
        int bitsCleared = 0;
        int bitsSet = 0;
    };
    // Every block a verify (or a write's read-back) found to differ, in the order verified.
    QList<Difference> differences;
    // Flipped bits a tolerant verify allowed.
    int toleratedBits = 0;
    // A block whose repeated reads did not all agree: how many reads differed from the
    // majority and in how many bytes; `decided` is false where some byte had no majority.
    struct UnstableBlock
    {
        int block = -1;
        int disagreeingReads = 0;
        int unstableBytes = 0;
        bool decided = true;
    };
    QList<UnstableBlock> unstable;
    // Blocks whose image data is all 0xFF and were therefore not programmed (only checked).
    QList<int> blankSkipped;
    // Image blocks an update left alone: their chunks' directory entries are equal, or (when
    // comparing) the chip already held their data.
    QList<int> unchanged;
    // The digests of a hash request.
    Digests digests;
    // The chip as the request left it; the ID is empty when it was not read.
    QByteArray chipId;
    QList<int> badBlocks;
    // Data moved between the chip and the host over all phases, and the time taken.
    qint64 bytes = 0;
    qint64 elapsedMs = 0;

    bool succeeded() const { return status == Complete; }
    // A stable key of the status for machines: "complete", "failed", "aborted", "no-chip",
    // "no-flash-image", "no-buffer-image", "wrong-geometry", "too-many-bad-blocks".
    static QString statusKey(Status status);
};

Q_DECLARE_METATYPE(OperationResult)
