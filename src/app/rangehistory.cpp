#include "app/rangehistory.h"

#include <algorithm>

namespace {

bool isRecordable(const BlockRangeList &list)
{
    return !list.name.isEmpty() && !list.ranges.isEmpty();
}

} // namespace

void recordRangeList(QList<BlockRangeList> &history, const BlockRangeList &list)
{
    if (!isRecordable(list))
        return;
    const QList<int> blocks = list.toBlocks();
    const auto same =
        std::find_if(history.begin(), history.end(),
                     [&](const BlockRangeList &entry) { return entry.toBlocks() == blocks; });
    if (same != history.end())
        history.erase(same);
    history.prepend(list);
    while (history.size() > MaxRangeHistory)
        history.removeLast();
}

QVariantList rangeHistoryToVariants(const QList<BlockRangeList> &history)
{
    QVariantList values;
    for (const BlockRangeList &list : history)
        values.append(QVariant::fromValue(list));
    return values;
}

QList<BlockRangeList> rangeHistoryFromVariants(const QVariantList &values, int blockCount)
{
    QList<BlockRangeList> history;
    for (const QVariant &value : values) {
        if (value.metaType() != QMetaType::fromType<BlockRangeList>())
            continue;
        const BlockRangeList list = value.value<BlockRangeList>();
        // A stored range beyond the flash names blocks that do not exist, and a huge one would
        // be expanded block by block when the entry is compared or chosen.
        const bool onFlash =
            std::all_of(list.ranges.begin(), list.ranges.end(), [&](const BlockRange &range) {
                return range.first >= 0 && range.first <= range.last && range.last < blockCount;
            });
        if (isRecordable(list) && onFlash)
            history.append(list);
    }
    return history;
}
