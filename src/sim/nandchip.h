#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>

// The NAND flash inside a simulated programmer: 1024 blocks of 64 pages, each page 2048 data
// bytes and 64 spare bytes. It behaves as real NAND does where the host can tell: erase sets data
// and spare to 0xFF, programming can only clear bits, a block marked bad stays bad. Bit flips
// injected for tests are applied to what a read returns, never to the stored cells.
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

    // ID bytes answered to the read-ID command; an absent chip answers five 0xFF.
    QByteArray id() const;
    void setId(const QByteArray &id);
    void remove();

    // Keeps data, spare and bad blocks in `path` from now on. A missing file is created (erased
    // chip); an existing one is loaded. False with `*error` set for a file of the wrong size or
    // one that cannot be opened.
    bool attachStorage(const QString &path, QString *error);

    // Bad blocks: factory-bad ones and those marked bad by the host.
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
    // bytes (the rest of the spare area is left as it is).
    void programPage(int block, int page, const char *data, const char *spare, int spareSize);
    // Reads one page with the injected flips applied: 2048 data bytes and 64 spare bytes.
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
