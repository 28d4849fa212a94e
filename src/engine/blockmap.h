#pragma once

#include <QList>
#include <functional>
#include <vector>

// Where the logical blocks of an image live on a chip: logical block L in the (L+1)-th good
// physical block. The state of a block may be unknown until it is asked for (firmware without
// the bad block list); the executor resolves such blocks one by one as it maps, the window maps
// with the list the chip reported.
class BlockMap
{
public:
    enum State : signed char
    {
        Unknown,
        Good,
        Bad,
    };
    // Asks the chip whether physical `block` is bad; false when the question failed.
    using Resolver = std::function<bool(int block, bool *bad)>;

    // Every block unknown.
    BlockMap();
    // Every block good but `bad` (numbers outside the chip are ignored).
    static BlockMap withBadBlocks(const QList<int> &bad);

    State state(int physical) const { return states[size_t(physical)]; }
    void setState(int physical, State state) { states[size_t(physical)] = state; }
    int goodCount() const;

    // The physical block of `logical` into `*physical` (-1 when no good block is left for it);
    // unknown blocks on the way are resolved and remembered. False when a resolution failed.
    bool map(int logical, int *physical, const Resolver &resolve);
    // The same over known states only: unknown blocks count as good.
    int physical(int logical) const;
    // The logical block that physical `block` holds, -1 for a bad block.
    int logical(int physical) const;

private:
    std::vector<State> states;
};
