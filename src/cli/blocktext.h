#pragma once

#include <QList>
#include <QString>

// Reads a block list as users type it: ranges separated by commas, each a single block ("7")
// or an inclusive range written "0...99" or "0-99"; blanks around the parts are allowed. The
// result is ascending without duplicates. False, with `*error` saying what is wrong, for an
// empty text, an empty item, a range that runs backwards, a part that is not a number, or a
// block outside 0 .. blockCount - 1.
bool parseBlockList(const QString &text, int blockCount, QList<int> *blocks, QString *error);
