#include "sim/nandchip.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QVector>
#include <algorithm>
#include <array>
#include <bitset>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr qint64 PageBytes = NandChip::PageSize + NandChip::SpareSize;
constexpr qint64 BlockBytes = NandChip::PagesPerBlock * PageBytes;
constexpr qint64 CellBytes = NandChip::BlockCount * BlockBytes;
// Storage file: the cells of every block (per page: data, then spare), followed by one byte per
// block that files of earlier versions used for bad marks (0xFF good); a block marked there
// gets its mark in its spare when the file is attached. A new file is all 0xFF: an erased chip,
// no bad blocks.
constexpr qint64 StorageBytes = CellBytes + NandChip::BlockCount;
constexpr uchar GoodMark = 0xFF;
constexpr uchar BadMark = 0x00;
// Where a block's bad marks live: the first spare byte of pages 0 and 1.
constexpr qint64 FirstMarkOffset = NandChip::PageSize;
constexpr qint64 SecondMarkOffset = PageBytes + NandChip::PageSize;

bool validBlock(int block)
{
    return block >= 0 && block < NandChip::BlockCount;
}

bool validPage(int block, int page)
{
    return validBlock(block) && page >= 0 && page < NandChip::PagesPerBlock;
}

bool validBit(int bit)
{
    return bit >= 0 && bit < 8;
}

// NAND programming can only clear bits: the cells keep the AND of what they held and what is
// written. Whole 64-bit words first; memcpy keeps unaligned host buffers well-defined.
void programCells(uchar *cells, const char *bytes, int size)
{
    int i = 0;
    for (; i + 8 <= size; i += 8) {
        quint64 cell;
        quint64 value;
        std::memcpy(&cell, cells + i, 8);
        std::memcpy(&value, bytes + i, 8);
        cell &= value;
        std::memcpy(cells + i, &cell, 8);
    }
    for (; i < size; ++i)
        cells[i] &= uchar(bytes[i]);
}

bool fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}

// Fills a new storage file with 0xFF (an erased chip). Written out rather than mapped sparse
// so that a full disk shows up here and not as a crash on a later write to the mapping.
bool fillErased(QFile &file)
{
    const QByteArray chunk(1 << 20, char(0xFF));
    for (qint64 left = StorageBytes; left > 0;) {
        const qint64 size = std::min<qint64>(left, chunk.size());
        if (file.write(chunk.constData(), size) != size)
            return false;
        left -= size;
    }
    return file.flush();
}

} // namespace

struct NandChip::State
{
    // An injected flip: the bit `mask` of data byte or spare byte `offset` of one page.
    struct Flip
    {
        bool spare;
        int offset;
        uchar mask;
        bool operator==(const Flip &other) const
        {
            return spare == other.spare && offset == other.offset && mask == other.mask;
        }
    };

    QByteArray id = QByteArray::fromHex("ECF1009540");

    // Without storage the cells live in memory, allocated per block at its first programming
    // and kept from then on (so erase-program cycles cost no page faults); a block without cells
    // is erased. This keeps an unused chip nearly free.
    std::vector<std::unique_ptr<uchar[]>> blocks =
        std::vector<std::unique_ptr<uchar[]>>(BlockCount);

    // With storage every cell lives in the mapped file.
    std::unique_ptr<QFile> file;
    uchar *mapped = nullptr;

    std::bitset<BlockCount> eraseFail;
    std::optional<int> wearLimit;
    std::array<int, BlockCount> erases{};
    // Pages whose programming fails, keyed by programKey().
    QSet<int> programFail;
    // Flips per page, keyed by block * PagesPerBlock + page.
    QHash<int, QVector<Flip>> flips;
    double flipRate = 0;
    std::mt19937_64 random;

    static int programKey(int block, int page) { return block * (PagesPerBlock + 1) + page + 1; }

    // Flips each bit of `bytes` with probability flipRate, jumping from flip to flip.
    void flipRandomBits(char *bytes, qint64 size)
    {
        std::geometric_distribution<qint64> gap(flipRate);
        for (qint64 bit = gap(random); bit < size * 8; bit += 1 + gap(random))
            bytes[bit / 8] ^= char(1 << (bit % 8));
    }

    // The cells of a block, or null for an erased block that has none in memory.
    uchar *cells(int block) const
    {
        return mapped ? mapped + block * BlockBytes : blocks[block].get();
    }

    uchar *writableCells(int block)
    {
        if (!cells(block)) {
            blocks[block].reset(new uchar[BlockBytes]);
            std::memset(blocks[block].get(), 0xFF, BlockBytes);
        }
        return cells(block);
    }

    void addFlip(int block, int page, const Flip &flip)
    {
        QVector<Flip> &pageFlips = flips[block * PagesPerBlock + page];
        if (!pageFlips.contains(flip))
            pageFlips.append(flip);
    }
};

NandChip::NandChip() : d(std::make_unique<State>()) {}

NandChip::~NandChip() = default;

QByteArray NandChip::id() const
{
    return d->id;
}

void NandChip::setId(const QByteArray &id)
{
    d->id = id;
}

void NandChip::remove()
{
    d->id = QByteArray(5, char(0xFF));
}

bool NandChip::attachStorage(const QString &path, QString *error)
{
    auto file = std::make_unique<QFile>(path);
    const bool existed = file->exists();
    const QIODevice::OpenMode mode =
        QIODevice::ReadWrite | (existed ? QIODevice::ExistingOnly : QIODevice::NewOnly);
    if (!file->open(mode)) {
        return fail(error, QStringLiteral("Cannot open the simulated chip storage %1: %2")
                               .arg(path, file->errorString()));
    }
    if (existed && file->size() != StorageBytes) {
        return fail(error,
                    QStringLiteral("The simulated chip storage %1 has %2 bytes instead of %3; "
                                   "it is left as it is")
                        .arg(path)
                        .arg(file->size())
                        .arg(StorageBytes));
    }
    if (!existed && !fillErased(*file)) {
        const QString reason = file->errorString();
        file->remove();
        return fail(
            error,
            QStringLiteral("Cannot create the simulated chip storage %1: %2").arg(path, reason));
    }
    uchar *mapped = file->map(0, StorageBytes);
    if (!mapped) {
        const QString reason = file->errorString();
        if (!existed)
            file->remove();
        return fail(
            error,
            QStringLiteral("Cannot map the simulated chip storage %1: %2").arg(path, reason));
    }

    const QList<int> badBefore = badBlocks();
    d->blocks = std::vector<std::unique_ptr<uchar[]>>(BlockCount);
    d->file = std::move(file);
    d->mapped = mapped;
    const uchar *legacyMarks = mapped + CellBytes;
    for (int block = 0; block < BlockCount; ++block) {
        if (legacyMarks[block] != GoodMark)
            markBad(block);
    }
    setFactoryBad(badBefore);
    return true;
}

void NandChip::setFactoryBad(const QList<int> &blocks)
{
    for (int block : blocks)
        markBad(block);
}

bool NandChip::isBad(int block) const
{
    quint8 mark0;
    quint8 mark1;
    marks(block, &mark0, &mark1);
    return mark0 != GoodMark || mark1 != GoodMark;
}

QList<int> NandChip::badBlocks() const
{
    QList<int> bad;
    for (int block = 0; block < BlockCount; ++block) {
        if (isBad(block))
            bad.append(block);
    }
    return bad;
}

void NandChip::marks(int block, quint8 *mark0, quint8 *mark1) const
{
    const uchar *cells = validBlock(block) ? d->cells(block) : nullptr;
    *mark0 = cells ? cells[FirstMarkOffset] : GoodMark;
    *mark1 = cells ? cells[SecondMarkOffset] : GoodMark;
}

void NandChip::markBad(int block)
{
    if (!validBlock(block))
        return;
    uchar *cells = d->writableCells(block);
    cells[FirstMarkOffset] = BadMark;
    cells[SecondMarkOffset] = BadMark;
}

void NandChip::setEraseFail(const QList<int> &blocks)
{
    d->eraseFail.reset();
    for (int block : blocks) {
        if (validBlock(block))
            d->eraseFail.set(block);
    }
}

void NandChip::setWearLimit(std::optional<int> erases)
{
    d->wearLimit = erases;
}

bool NandChip::erase(int block)
{
    if (!validBlock(block) || isBad(block) || d->eraseFail.test(block))
        return false;
    if (d->wearLimit && d->erases[block]++ >= *d->wearLimit)
        return false;
    if (uchar *cells = d->cells(block))
        std::memset(cells, 0xFF, BlockBytes);
    return true;
}

void NandChip::addProgramFail(int block, int page)
{
    d->programFail.insert(State::programKey(block, page));
}

bool NandChip::programPage(int block, int page, const char *data, const char *spare, int spareSize)
{
    if (!validPage(block, page) || d->programFail.contains(State::programKey(block, -1)) ||
        d->programFail.contains(State::programKey(block, page)))
        return false;
    uchar *cells = d->writableCells(block) + page * PageBytes;
    programCells(cells, data, PageSize);
    if (spare)
        programCells(cells + PageSize, spare, std::clamp(spareSize, 0, int(SpareSize)));
    return true;
}

void NandChip::readPage(int block, int page, char *data, char *spare) const
{
    const uchar *cells = validPage(block, page) ? d->cells(block) : nullptr;
    if (cells) {
        cells += page * PageBytes;
        std::memcpy(data, cells, PageSize);
        if (spare)
            std::memcpy(spare, cells + PageSize, SpareSize);
    } else {
        std::memset(data, 0xFF, PageSize);
        if (spare)
            std::memset(spare, 0xFF, SpareSize);
    }
    if (d->flipRate > 0) {
        d->flipRandomBits(data, PageSize);
        if (spare)
            d->flipRandomBits(spare, SpareSize);
    }
    if (d->flips.isEmpty() || !validPage(block, page))
        return;
    for (const State::Flip &flip : d->flips.value(block * PagesPerBlock + page)) {
        if (!flip.spare)
            data[flip.offset] ^= char(flip.mask);
        else if (spare)
            spare[flip.offset] ^= char(flip.mask);
    }
}

void NandChip::addDataFlip(int block, int offset, int bit)
{
    if (!validBlock(block) || offset < 0 || offset >= PagesPerBlock * PageSize || !validBit(bit))
        return;
    d->addFlip(block, offset / PageSize, {false, offset % PageSize, uchar(1u << bit)});
}

void NandChip::addSpareFlip(int block, int page, int spareOffset, int bit)
{
    if (!validPage(block, page) || spareOffset < 0 || spareOffset >= SpareSize || !validBit(bit))
        return;
    d->addFlip(block, page, {true, spareOffset, uchar(1u << bit)});
}

void NandChip::setRandomFlips(double perBit, quint64 seed)
{
    d->flipRate = std::clamp(perBit, 0.0, 1.0);
    d->random.seed(seed);
}

void NandChip::clearFlips()
{
    d->flips.clear();
}
