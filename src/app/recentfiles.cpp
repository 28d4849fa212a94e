#include "app/recentfiles.h"

namespace {

// Paths up to this length are shown whole; longer ones keep about this many last characters.
constexpr int ShownTail = 32;
// A separator this close to the start of the tail starts the tail instead, so that the tail
// begins with a whole name.
constexpr int SeparatorReach = 16;

} // namespace

void normalizeRecentFiles(QStringList &files)
{
    files.removeDuplicates();
    while (files.size() > MaxRecentFiles)
        files.removeLast();
}

QString shortenPath(const QString &path, QChar separator)
{
    const qsizetype length = path.size();
    if (length <= ShownTail)
        return path;

    qsizetype tailStart = length - ShownTail;
    qsizetype found = path.indexOf(separator, tailStart);
    if (found < 0) {
        separator = QLatin1Char('/');
        found = path.indexOf(separator, tailStart);
    }
    if (found > 0 && found - tailStart < SeparatorReach)
        tailStart = found;
    const QString shortened = QLatin1String("...") + path.mid(tailStart);

    const qsizetype first = path.indexOf(separator, 1);
    const qsizetype second = first < 0 ? -1 : path.indexOf(separator, first + 1);
    if (second < 0)
        return shortened;
    const qsizetype headLength = second + 1;
    // Shortening that would not make the text shorter shows the whole path.
    if (shortened.size() + headLength >= length)
        return path;
    return path.left(headLength) + shortened;
}
