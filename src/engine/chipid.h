#pragma once

#include <QByteArray>
#include <QString>

// The chip's display name for its ID bytes: the known chips by name, others by their maker
// ("Unknown Samsung flash device") or as "Unknown flash device".
QString chipName(const QByteArray &id);

// True when the ID says no chip is inserted: exactly five 0xFF bytes, what the programmer reads
// from an empty socket.
bool isChipMissing(const QByteArray &id);

// The most bad blocks the chip's datasheet allows over its life (its blocks less its minimum of
// valid blocks); -1 for a chip that is not in the table.
int datasheetBadBlockLimit(const QByteArray &id);
