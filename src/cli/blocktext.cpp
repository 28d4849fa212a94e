#include "cli/blocktext.h"

#include "engine/blockrange.h"

#include <QCoreApplication>
#include <QStringList>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("BlockText", text);
}

bool parseBlock(const QString &text, int blockCount, int *block, QString *error)
{
    bool ok = false;
    const QString trimmed = text.trimmed();
    const int value = trimmed.toInt(&ok, 10);
    if (!ok || trimmed.startsWith(QLatin1Char('+')) || trimmed.startsWith(QLatin1Char('-'))) {
        *error = tr("\"%1\" is not a block number").arg(trimmed);
        return false;
    }
    if (value >= blockCount) {
        *error = tr("block %1 is beyond the last block %2").arg(value).arg(blockCount - 1);
        return false;
    }
    *block = value;
    return true;
}

bool parseRange(const QString &item, int blockCount, BlockRange *range, QString *error)
{
    QString separator = QStringLiteral("...");
    int split = item.indexOf(separator);
    if (split < 0) {
        separator = QStringLiteral("-");
        split = item.indexOf(separator);
    }
    if (split < 0) {
        int block = 0;
        if (!parseBlock(item, blockCount, &block, error))
            return false;
        *range = BlockRange(block, block);
        return true;
    }
    if (!parseBlock(item.left(split), blockCount, &range->first, error) ||
        !parseBlock(item.mid(split + separator.size()), blockCount, &range->last, error))
        return false;
    if (range->first > range->last) {
        *error = tr("the range \"%1\" runs backwards").arg(item.trimmed());
        return false;
    }
    return true;
}

} // namespace

bool parseBlockList(const QString &text, int blockCount, QList<int> *blocks, QString *error)
{
    BlockRangeList list;
    for (const QString &item : text.split(QLatin1Char(','))) {
        if (item.trimmed().isEmpty()) {
            *error = tr("the block list \"%1\" has an empty item").arg(text);
            return false;
        }
        BlockRange range;
        if (!parseRange(item, blockCount, &range, error))
            return false;
        list.addRange(range);
    }
    *blocks = list.toBlocks();
    return true;
}
