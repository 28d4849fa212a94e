#pragma once

#include "protocol/geometry.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>
#include <optional>

// The NAND flash inside a simulated programmer: 1024 blocks of 64 pages, each page 2048 data
// bytes and 64 spare bytes. It behaves as real NAND does where the host can tell: erase sets data
// and spare to 0xFF, programming can only clear bits, a block marked bad stays bad. Bit flips
// injected for tests are applied to what a read returns, never to the stored cells.
//
// Not thread-safe: the simulated firmware calls it under its own lock, and tests may inspect a
// chip from another thread only while no host operation is running on it. Block, page, offset
// or bit numbers outside the chip change nothing (a read of such a page gives 0xFF bytes).
class NandChip
{
public:
    static constexpr int BlockCount = Geometry::BlockCount;
    static constexpr int PagesPerBlock = Geometry::PagesPerBlock;
    static constexpr int PageSize = Geometry::PageSize;
    static constexpr int SpareSize = Geometry::SpareSize;

    NandChip();
    ~NandChip();
    NandChip(const NandChip &) = delete;
    NandChip &operator=(const NandChip &) = delete;

    // ID bytes answered to the read-ID command; an absent chip answers five 0xFF. A new chip is a
    // Samsung K9F1G08U0x (EC F1 00 95 40).
    QByteArray id() const;
    void setId(const QByteArray &id);
    void remove();

    // Keeps data, spare and bad blocks in `path` from now on; every change goes straight to the
    // file (it is memory-mapped), so a crash loses nothing. A missing file is created as an
    // erased chip; an existing one is loaded and its contents replace the chip's data. Blocks
    // that were bad before stay bad either way. False with `*error` set (and the chip left as
    // it was) for a file of the wrong size, which is never truncated or extended, or one that
    // cannot be opened, created or mapped.
    bool attachStorage(const QString &path, QString *error);

    // Bad blocks carry their mark where real chips do: a first spare byte other than 0xFF in
    // page 0 or page 1. `setFactoryBad` and `markBad` write it; a bad block is never erased, so
    // it never becomes good again.
    void setFactoryBad(const QList<int> &blocks);
    bool isBad(int block) const;
    QList<int> badBlocks() const;
    // The two mark bytes of a block: the first spare byte of page 0 and of page 1.
    void marks(int block, quint8 *mark0, quint8 *mark1) const;
    void markBad(int block);

    // Blocks whose erase always fails.
    void setEraseFail(const QList<int> &blocks);
    // Every block's erase fails once it has been erased `erases` times (none: never).
    void setWearLimit(std::optional<int> erases);
    // Erases one block; false when the erase fails (erase-fail, worn-out and bad blocks).
    bool erase(int block);

    // Pages whose programming always fails; page -1 stands for every page of the block.
    void addProgramFail(int block, int page);
    // Programs one page: data bits can only go from 1 to 0. `spare` may hold fewer than 64
    // bytes (the rest of the spare area is left as it is; null when `spareSize` is 0). False,
    // with the page left as it was, for a page whose programming fails.
    bool programPage(int block, int page, const char *data, const char *spare, int spareSize);
    // Reads one page with the injected flips applied: 2048 data bytes and, unless `spare` is
    // null, 64 spare bytes.
    void readPage(int block, int page, char *data, char *spare) const;

    // Every read flips each bit it returns with probability `perBit`, drawn from a generator
    // seeded with `seed` (a rate of 0: none).
    void setRandomFlips(double perBit, quint64 seed);

    // Flips that every read of `block` shows: bit `bit` of the byte at `offset` within the
    // block's data, or of the spare byte `spareOffset` of `page`.
    void addDataFlip(int block, int offset, int bit);
    void addSpareFlip(int block, int page, int spareOffset, int bit);
    void clearFlips();

private:
    struct State;
    std::unique_ptr<State> d;
};
