#pragma once

#include <QByteArrayView>
#include <QtGlobal>

// The CRC-32 of IEEE 802.3, continued over `data` from `crc`, a value as it returns it (0 for
// empty input): the same results as zlib's crc32(), about four times faster on CPUs with
// carry-less multiplication.
quint32 updateCrc32(quint32 crc, QByteArrayView data);
