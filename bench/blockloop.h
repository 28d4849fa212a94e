#pragma once

#include "protocol/programmer.h"

#include <cstdio>
#include <functional>

// Runs `operation` on blocks 0 to count - 1; at the first failure it says which block failed and
// why, and returns false.
inline bool forEachBlock(Programmer &programmer, int count, const char *name,
                         const std::function<Programmer::Result(int)> &operation)
{
    for (int block = 0; block < count; ++block) {
        if (operation(block) != Programmer::ResultOk) {
            std::fprintf(stderr, "%s of block %d failed: %s\n", name, block,
                         qPrintable(programmer.errorString()));
            return false;
        }
    }
    return true;
}
