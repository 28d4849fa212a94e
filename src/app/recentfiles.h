#pragma once

#include <QChar>
#include <QDir>
#include <QString>
#include <QStringList>

// The most files the recent-files list keeps.
constexpr int MaxRecentFiles = 20;

// Removes repeated paths from `files` (the first, most recent, occurrence stays) and cuts the
// list to MaxRecentFiles entries.
void normalizeRecentFiles(QStringList &files);

// A path short enough for a menu entry: paths longer than 32 characters keep their first two
// folders and about their last 32 characters, with "..." between them, such as
// "/home/user/.../board/flash_dump_full_2012.bin". `separator` is the directory separator
// looked for first; "/" is tried when the tail holds none.
QString shortenPath(const QString &path, QChar separator = QDir::separator());
