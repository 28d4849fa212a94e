#include "engine/blockmap.h"

#include "protocol/programmer.h"

#include <algorithm>

BlockMap::BlockMap() : states(size_t(Programmer::blockCount()), Unknown) {}

BlockMap BlockMap::withBadBlocks(const QList<int> &bad)
{
    BlockMap map;
    std::fill(map.states.begin(), map.states.end(), Good);
    for (const int block : bad) {
        if (block >= 0 && block < Programmer::blockCount())
            map.states[size_t(block)] = Bad;
    }
    return map;
}

int BlockMap::goodCount() const
{
    return int(std::count(states.begin(), states.end(), Good));
}

bool BlockMap::map(int logical, int *physical, const Resolver &resolve)
{
    int goodBelow = 0;
    for (int candidate = 0; candidate < int(states.size()); ++candidate) {
        State &known = states[size_t(candidate)];
        if (known == Unknown) {
            bool bad = false;
            if (!resolve(candidate, &bad))
                return false;
            known = bad ? Bad : Good;
        }
        if (known == Bad)
            continue;
        if (goodBelow == logical) {
            *physical = candidate;
            return true;
        }
        ++goodBelow;
    }
    *physical = -1;
    return true;
}

int BlockMap::physical(int logical) const
{
    BlockMap known = *this;
    int block = -1;
    known.map(logical, &block, [](int, bool *bad) {
        *bad = false;
        return true;
    });
    return block;
}

int BlockMap::logical(int physical) const
{
    if (states[size_t(physical)] == Bad)
        return -1;
    return int(std::count_if(states.begin(), states.begin() + physical,
                             [](State state) { return state != Bad; }));
}
