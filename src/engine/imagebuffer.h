#pragma once

#include "engine/digest.h"

#include <QBuffer>
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QString>

class QIODevice;

// The digests of some data: CRC-32 (4 bytes, most significant first), MD5 and SHA-1. MD5 or
// SHA-1 is empty when the system's OpenSSL refused it; all are empty when nothing was hashed.
struct Digests
{
    QByteArray crc32;
    QByteArray md5;
    QByteArray sha1;
    QByteArray sha256;
};

// The 128 MiB image of the whole flash that operations read from and fill, with the CRC32, MD5
// and SHA1 accumulators of loaded files and hash operations. Loading and saving run straight
// through in the calling thread and report through the signals, as a flash operation does; the
// caller makes sure no operation uses the buffer meanwhile.
class ImageBuffer : public QObject
{
    Q_OBJECT

public:
    explicit ImageBuffer(QObject *parent = nullptr);

    // The bytes of logical `block`, without a copy, to read and to write.
    QByteArray block(int block);
    char *blockData(int block);
    // Sets logical `block` to erased bytes.
    void eraseBlock(int block);
    // The blocks of the image described by the directory in block 2 (empty when there is none);
    // may reach past the last block.
    QList<int> directoryBlocks();

    // Loads `file` into the buffer; false, with the buffer as it was, when reading failed.
    bool load(QIODevice *file);
    // Saves `blocks` (empty: the image's extent, or the whole flash without a directory) into
    // `file`, each at its own offset. False when a block could not be written.
    bool save(QIODevice *file, QList<int> blocks);
    // The size of the file the last successful load read, in bytes.
    qint64 loadedSize() const { return loadedBytes; }

    void resetDigests();
    void addToDigests(QByteArrayView data);
    // The accumulators' digests: those of the last load or hash operation.
    Digests digests() const;
    // Emits the CRC32, MD5 and SHA1 lines; false, after an error line, when MD5 or SHA1 could
    // not be computed.
    bool emitHashes();

signals:
    void operationBegin(QString job);
    void progress(int value);
    // `done` of `total` blocks of the phase named `phase` ("load", "save") are done.
    void phaseProgress(QString phase, int done, int total);
    void info(QString text);
    void error(QString text);
    void operationFinished(QString status);

private:
    // The buffer with its 0xFF bytes in place; see the constructor.
    QBuffer &image();
    void addToOtherDigests(QByteArrayView data);
    // Writes `list` into `file`; false after an error line.
    bool writeBlocks(QIODevice *file, QList<int> list);

    // Empty until first used: image() fills it with 0xFF.
    QBuffer buffer;
    Digest md5;
    Digest sha1;
    Digest sha256;
    // The running CRC-32 value (updateCrc32()); 0 is the reset state.
    quint32 crc32 = 0;
    qint64 loadedBytes = 0;
    // The array a load fills before it becomes the buffer's; the replaced one is kept for the
    // next load.
    QByteArray spareImage;
};
