#pragma once

#include <QList>

// Which blocks a request covers: every block of the chip, the extent of an image (as its
// directory in block 2 describes it: the buffer's for the kinds that write or compare the
// buffer, the chip's for those that read), or a list of blocks chosen by the user.
class BlockScope
{
public:
    enum Kind
    {
        WholeFlash,
        ImageExtent,
        List,
    };

    static BlockScope wholeFlash() { return BlockScope(WholeFlash, {}); }
    static BlockScope imageExtent() { return BlockScope(ImageExtent, {}); }
    static BlockScope list(QList<int> blocks) { return BlockScope(List, std::move(blocks)); }
    // A list that holds every block of the chip is the whole flash: bad blocks then leave out
    // the trailing blocks without a good block instead of failing, and an erase tries the fast
    // full erase first.
    static BlockScope chosen(QList<int> blocks);

    Kind kind() const { return scopeKind; }
    // The chosen blocks of a list; empty otherwise.
    const QList<int> &blocks() const { return chosenBlocks; }

private:
    BlockScope(Kind kind, QList<int> blocks) : scopeKind(kind), chosenBlocks(std::move(blocks)) {}

    Kind scopeKind;
    QList<int> chosenBlocks;
};
