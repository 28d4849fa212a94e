#include "engine/blockscope.h"

#include "protocol/programmer.h"

#include <algorithm>

BlockScope BlockScope::chosen(QList<int> blocks)
{
    QList<int> distinct = blocks;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    const bool every = distinct.size() == Programmer::blockCount() && distinct.first() == 0 &&
                       distinct.last() == Programmer::blockCount() - 1;
    return every ? wholeFlash() : list(std::move(blocks));
}
