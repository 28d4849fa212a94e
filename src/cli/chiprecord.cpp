#include "cli/chiprecord.h"

#include <QJsonArray>
#include <algorithm>

namespace {

QJsonArray numbers(const QList<int> &values)
{
    QJsonArray array;
    for (const int value : values)
        array.append(value);
    return array;
}

// Time stamps in UTC with milliseconds, as ISO 8601.
QString timeText(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

} // namespace

QList<int> ChipRecord::badAfter() const
{
    QList<int> all = badBefore;
    for (const int block : newlyBad) {
        if (!all.contains(block))
            all.append(block);
    }
    std::sort(all.begin(), all.end());
    return all;
}

QJsonValue ChipRecord::withinBadBlockLimit() const
{
    if (badBlockLimit < 0 || chipId.isEmpty())
        return QJsonValue::Null;
    return badAfter().size() <= badBlockLimit;
}

double ChipRecord::seconds() const
{
    return start.isValid() && end.isValid() ? double(start.msecsTo(end)) / 1000.0 : 0.0;
}

double ChipRecord::megabytesPerSecond() const
{
    const double time = seconds();
    return time > 0 ? double(bytes) / 1e6 / time : 0.0;
}

QString ChipRecord::resultText(Result result)
{
    switch (result) {
    case Succeeded:
        return QStringLiteral("success");
    case Aborted:
        return QStringLiteral("aborted");
    case Failed:
        break;
    }
    return QStringLiteral("failed");
}

QJsonObject ChipRecord::toJson() const
{
    return QJsonObject{
        {QStringLiteral("start"), timeText(start)},
        {QStringLiteral("end"), timeText(end)},
        {QStringLiteral("serial"), serialNumber},
        {QStringLiteral("firmware"), firmware},
        {QStringLiteral("chipId"), QString::fromLatin1(chipId.toHex())},
        {QStringLiteral("chip"), chip},
        {QStringLiteral("organisation"), organisation},
        {QStringLiteral("badBlockLimit"), badBlockLimit},
        {QStringLiteral("withinBadBlockLimit"), withinBadBlockLimit()},
        {QStringLiteral("command"), command},
        {QStringLiteral("blocks"), blocks},
        {QStringLiteral("badBlocksBefore"), numbers(badBefore)},
        {QStringLiteral("badBlocksAfter"), numbers(badAfter())},
        {QStringLiteral("newlyBad"), numbers(newlyBad)},
        {QStringLiteral("failedBlocks"), numbers(failedBlocks)},
        {QStringLiteral("differences"), differences},
        {QStringLiteral("unstableBlocks"), unstableBlocks},
        {QStringLiteral("toleratedBits"), toleratedBits},
        {QStringLiteral("blankSkipped"), numbers(blankSkipped)},
        {QStringLiteral("eccCorrections"), eccCorrections},
        {QStringLiteral("crc32"), crc32},
        {QStringLiteral("md5"), md5},
        {QStringLiteral("sha1"), sha1},
        {QStringLiteral("sha256"), sha256},
        {QStringLiteral("result"), resultText(result)},
        {QStringLiteral("status"), status},
        {QStringLiteral("error"), error},
        {QStringLiteral("bytes"), bytes},
        {QStringLiteral("seconds"), seconds()},
        {QStringLiteral("mbPerSecond"), megabytesPerSecond()},
    };
}
