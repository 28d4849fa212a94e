#pragma once

#include "engine/blockrange.h"

#include <QList>
#include <QVariantList>

// The most named block range lists the history keeps after a choice.
constexpr int MaxRangeHistory = 20;

// Puts `list` at the front of `history`, replacing the entry that names the same blocks (the
// names are not compared), and cuts the history to MaxRangeHistory entries. Lists without a
// name or without ranges are not recorded.
void recordRangeList(QList<BlockRangeList> &history, const BlockRangeList &list);

// The history as the settings store keeps it: one BlockRangeList variant per entry, in order.
QVariantList rangeHistoryToVariants(const QList<BlockRangeList> &history);
// The entries of `values` that are named lists of ranges on a flash of `blockCount` blocks, in
// stored order and without a length limit; anything else is dropped.
QList<BlockRangeList> rangeHistoryFromVariants(const QVariantList &values, int blockCount);
