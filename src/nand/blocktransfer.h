#pragma once

#include "nand/eccevent.h"
#include "protocol/programmer.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <optional>

// The first byte in which a block read back differs from what it should hold.
struct BlockDifference
{
    int block = 0;
    qsizetype offset = 0; // within the block
    uchar expected = 0;
    uchar actual = 0;
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
    // Reads the block and compares its first expected.size() bytes with `expected`.
    Programmer::Result verifyBlock(int block, const QByteArray &expected);
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
    Programmer::Result refuseOversized(int block, qsizetype size);

    Programmer &programmer;
    QList<EccEvent> eccEvents;
    std::optional<BlockDifference> lastDifference;
};
