#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>

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
    static constexpr int BlockCount = 1024;
    static constexpr int PagesPerBlock = 64;
    static constexpr int PageSize = 2048;
    static constexpr int SpareSize = 64;

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

    // Bad blocks: factory-bad ones and those marked bad by the host. `setFactoryBad` adds to
    // them; a bad block never becomes good again.
    void setFactoryBad(const QList<int> &blocks);
    bool isBad(int block) const;
    QList<int> badBlocks() const;
    // The two mark bytes of a block: 0xFF 0xFF for a good block, 0x00 0x00 for a bad one.
    void marks(int block, quint8 *mark0, quint8 *mark1) const;
    void markBad(int block);

    // Blocks whose erase always fails.
    void setEraseFail(const QList<int> &blocks);
    // Erases one block; false when the erase fails (erase-fail blocks and bad blocks).
    bool erase(int block);

    // Programs one page: data bits can only go from 1 to 0. `spare` may hold fewer than 64
    // bytes (the rest of the spare area is left as it is; null when `spareSize` is 0).
    void programPage(int block, int page, const char *data, const char *spare, int spareSize);
    // Reads one page with the injected flips applied: 2048 data bytes and, unless `spare` is
    // null, 64 spare bytes.
    void readPage(int block, int page, char *data, char *spare) const;

    // Flips that every read of `block` shows: bit `bit` of the byte at `offset` within the
    // block's data, or of the spare byte `spareOffset` of `page`.
    void addDataFlip(int block, int offset, int bit);
    void addSpareFlip(int block, int page, int spareOffset, int bit);
    void clearFlips();

private:
    struct State;
    std::unique_ptr<State> d;
};
