#pragma once

#include "nand/eccevent.h"
#include "protocol/programmer.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <optional>

// How a block read back differs from what it should hold: its first differing byte, and how
// many bytes and bits differ in all.
struct BlockDifference
{
    int block = 0;
    qsizetype offset = 0; // within the block
    uchar expected = 0;
    uchar actual = 0;
    int bytes = 0;
    // Bits that should be 1 and read 0, and that should be 0 and read 1.
    int bitsCleared = 0;
    int bitsSet = 0;
};

// What reading a block several times found: how many of the reads differ from the majority,
// and whether some byte had no majority at all.
struct ReadVote
{
    int disagreeingReads = 0;
    int unstableBytes = 0;
    bool noMajority = false;
};

// Whole-block transfers over a Programmer's block commands: programming, reading with ECC check
// and retries, verifying and blank checking, one block per call. They run on the thread that
// drives the Programmer; a failure's text is the Programmer's errorString().
class BlockTransfer : public QObject
{
    Q_OBJECT

public:
    explicit BlockTransfer(Programmer &programmer, QObject *parent = nullptr);

    // Programs `data`, at most a block; a shorter block is padded with 0xFF.
    Programmer::Result programBlock(int block, const QByteArray &data);
    // Reads the whole block into `data`, tried up to three times. With ECC, single flipped bits
    // are corrected; an uncorrectable page ends the read at once.
    Programmer::Result readBlock(int block, QByteArray &data);
    // Reads the block `reads` times (at least once) and keeps, of every byte, the value that
    // more than half of the reads gave; a byte without one keeps the first read's value and
    // sets `vote->noMajority`.
    Programmer::Result readBlockVoted(int block, QByteArray &data, int reads, ReadVote *vote);
    // Reads the block and compares its first expected.size() bytes with `expected`.
    Programmer::Result verifyBlock(int block, const QByteArray &expected);
    // Verifies `actual`, already read, against `expected` as verifyBlock() does.
    Programmer::Result compareRead(int block, const QByteArray &expected, const QByteArray &actual);
    // Up to `bits` flipped bits per page are allowed by verifyBlock(): they are counted, not
    // failures. For links without ECC.
    void setTolerance(int bits) { tolerance = bits; }
    // The flipped bits the last verifyBlock() allowed.
    int toleratedBits() const { return lastTolerated; }
    // Reads the block and checks that it is erased.
    Programmer::Result blankCheck(int block);

    // What the ECC checks of the reads since the last call found, in order. A read that was
    // tried again gives the events of its last attempt only.
    QList<EccEvent> takeEccEvents();
    // The first difference the last verifyBlock() or blankCheck() found; none when the block
    // matched or the call failed before comparing.
    std::optional<BlockDifference> difference() const { return lastDifference; }

signals:
    // A corrected bit or a damaged code, as a log line.
    void info(QString text);

private:
    Programmer::Result readAttempt(int block, char *pages, bool ecc);
    // Reads the block and compares it with `expected`; a difference fails with `failure` and
    // the error `text`.
    Programmer::Result compareBlock(int block, const QByteArray &expected, const char *text,
                                    Programmer::Result failure);
    Programmer::Result compareData(int block, const QByteArray &expected, const QByteArray &actual,
                                   const char *text, Programmer::Result failure, int allowed);
    Programmer::Result refuseOversized(int block, qsizetype size);

    Programmer &programmer;
    QList<EccEvent> eccEvents;
    std::optional<BlockDifference> lastDifference;
    int tolerance = 0;
    int lastTolerated = 0;
};
