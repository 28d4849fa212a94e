#pragma once

#include <QByteArray>
#include <QList>

class QIODevice;

// The directory that images carry in their block 2: a sequence of opaque 16-byte entries, one
// per chunk of 32 blocks that follows the three head blocks. It tells how far an image extends.
namespace ImageDirectory {
constexpr int Block = 2;
// Byte offset of the first entry within the directory block: byte 6 of its last page.
constexpr int FirstEntryOffset = 129030;
constexpr int EntrySize = 16;
constexpr int MaxEntries = 32;
constexpr int HeadBlocks = 3;
constexpr int ChunkBlocks = 32;
} // namespace ImageDirectory

// The entries of the directory in `blockData`, in order. The directory ends before an entry of
// sixteen 0xFF or sixteen 0x00 bytes, or where fewer than 17 bytes of data are left. Empty when
// the data holds no entry or more than `maxCount`.
QList<QByteArray> directoryEntries(const QByteArray &blockData,
                                   int maxCount = ImageDirectory::MaxEntries);

// The blocks of the image whose directory block is `blockData`: 0 to 32 * n + 2 ascending for n
// entries (at most 32), empty when it holds no directory. The result can reach block 1026,
// beyond the chip: callers that index the chip or the buffer drop what they cannot use.
QList<int> directoryBlocks(const QByteArray &blockData);

// directoryBlocks() of block 2 of a whole flash image held in `buffer` (open for reading and
// seekable). The buffer's position is left as it was. A directory block that cannot be read in
// full is logged and taken as far as it goes.
QList<int> bufferDirectoryBlocks(QIODevice *buffer);
