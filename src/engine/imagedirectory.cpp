#include "engine/imagedirectory.h"

#include "engine/logging.h"
#include "protocol/programmer.h"

#include <QIODevice>

namespace {

// True when all bytes of `entry` equal `value`.
bool filledWith(const char *entry, char value)
{
    for (int i = 0; i < ImageDirectory::EntrySize; ++i) {
        if (entry[i] != value)
            return false;
    }
    return true;
}

} // namespace

QList<QByteArray> directoryEntries(const QByteArray &blockData, int maxCount)
{
    using namespace ImageDirectory;
    QList<QByteArray> entries;
    int allowance = maxCount;
    for (qsizetype offset = FirstEntryOffset; offset < blockData.size() - EntrySize;
         offset += EntrySize) {
        const char *entry = blockData.constData() + offset;
        if (filledWith(entry, char(0xFF)) || filledWith(entry, 0))
            break;
        entries.append(QByteArray(entry, EntrySize));
        if (allowance-- <= 0)
            return {};
    }
    return entries;
}

QList<int> directoryBlocks(const QByteArray &blockData)
{
    using namespace ImageDirectory;
    const int entries = int(directoryEntries(blockData, MaxEntries).size());
    QList<int> blocks;
    if (entries > 0) {
        const int lastBlock = HeadBlocks + ChunkBlocks * entries - 1;
        blocks.reserve(lastBlock + 1);
        for (int block = 0; block <= lastBlock; ++block)
            blocks.append(block);
    }
    return blocks;
}

QList<int> bufferDirectoryBlocks(QIODevice *buffer)
{
    const qint64 blockSize = Programmer::blockSize();
    QByteArray blockData;
    if (buffer->isReadable()) {
        const qint64 position = buffer->pos();
        if (buffer->seek(ImageDirectory::Block * blockSize))
            blockData = buffer->read(blockSize);
        buffer->seek(position);
    }
    if (blockData.size() != blockSize) {
        qCWarning(lcEngine) << "The image buffer holds" << blockData.size()
                            << "bytes of its directory block instead of" << blockSize;
    }
    return directoryBlocks(blockData);
}
