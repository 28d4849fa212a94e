#include "engine/imagebuffer.h"

#include "engine/aprogrammer.h"
#include "engine/crc32.h"
#include "engine/hugearray.h"
#include "engine/imagedirectory.h"
#include "protocol/programmer.h"

#include <QFileDevice>
#include <QtEndian>
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace {

// Feeds blocks to digest accumulators on a thread of its own while the caller goes on reading:
// a load hashes MD5 here, and reads the file and hashes SHA1, SHA256 and CRC32 itself, two halves
// of about equal cost on CPUs with hash instructions, so that the digests take about as long as
// MD5 alone.
class BackgroundFeed
{
public:
    explicit BackgroundFeed(std::function<void(QByteArrayView)> feed)
        : feed(std::move(feed)), worker([this] { work(); })
    {}
    ~BackgroundFeed() { finish(); }
    BackgroundFeed(const BackgroundFeed &) = delete;
    BackgroundFeed &operator=(const BackgroundFeed &) = delete;

    // Queues `data`, which must stay unchanged until finish() has returned.
    void add(QByteArrayView data)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(data);
        }
        wake.notify_one();
    }

    // Returns when everything queued has been fed.
    void finish()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            closed = true;
        }
        wake.notify_one();
        if (worker.joinable())
            worker.join();
    }

private:
    void work()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return closed || !queue.empty(); });
            if (queue.empty())
                return;
            const QByteArrayView data = queue.front();
            queue.pop_front();
            lock.unlock();
            feed(data);
            lock.lock();
        }
    }

    const std::function<void(QByteArrayView)> feed;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<QByteArrayView> queue;
    bool closed = false;
    // Last: the thread starts once everything it uses exists.
    std::thread worker;
};

// Reads up to `size` bytes, also from a stream that delivers them in pieces; fewer only at the
// end of the data. -1 on a read error.
qint64 readFully(QIODevice *file, char *data, qint64 size)
{
    qint64 total = 0;
    while (total < size) {
        const qint64 got = file->read(data + total, size - total);
        if (got < 0)
            return -1;
        if (got == 0 && (!file->isSequential() || !file->waitForReadyRead(-1)))
            break;
        total += got;
    }
    return total;
}

// Writes all of `data`. A device that takes only part of it (a disk that fills up) is asked for
// the rest, so that its error string gives the reason.
bool writeFully(QIODevice *file, QByteArrayView data)
{
    qint64 total = 0;
    while (total < data.size()) {
        const qint64 put = file->write(data.data() + total, data.size() - total);
        if (put <= 0)
            return false;
        total += put;
    }
    return true;
}

} // namespace

ImageBuffer::ImageBuffer(QObject *parent)
    : QObject(parent), md5(Digest::Md5), sha1(Digest::Sha1), sha256(Digest::Sha256)
{
    // The array stays empty until something uses the buffer: filling 128 MiB with 0xFF costs
    // more than all the rest of the start-up, and a load replaces the array without needing it.
    buffer.open(QIODevice::ReadWrite);
}

QBuffer &ImageBuffer::image()
{
    // An empty array stands for an erased Flash.
    if (buffer.data().isEmpty()) {
        QByteArray erased =
            hugePageArray(qsizetype(Programmer::blockCount()) * Programmer::blockSize());
        erased.fill(char(0xFF));
        buffer.buffer().swap(erased);
    }
    return buffer;
}

QByteArray ImageBuffer::block(int block)
{
    const qsizetype size = Programmer::blockSize();
    return QByteArray::fromRawData(image().data().constData() + block * size, size);
}

char *ImageBuffer::blockData(int block)
{
    return image().buffer().data() + qsizetype(block) * Programmer::blockSize();
}

void ImageBuffer::eraseBlock(int block)
{
    std::memset(blockData(block), 0xFF, size_t(Programmer::blockSize()));
}

QList<int> ImageBuffer::directoryBlocks()
{
    return bufferDirectoryBlocks(&image());
}

void ImageBuffer::resetDigests()
{
    md5.reset();
    sha1.reset();
    sha256.reset();
    crc32 = 0;
}

void ImageBuffer::addToOtherDigests(QByteArrayView data)
{
    sha1.addData(data);
    sha256.addData(data);
    crc32 = updateCrc32(crc32, data);
}

void ImageBuffer::addToDigests(QByteArrayView data)
{
    md5.addData(data);
    addToOtherDigests(data);
}

Digests ImageBuffer::digests() const
{
    Digests result{QByteArray(4, Qt::Uninitialized), md5.result(), sha1.result(), sha256.result()};
    qToBigEndian(crc32, result.crc32.data());
    return result;
}

bool ImageBuffer::emitHashes()
{
    const Digests result = digests();
    const auto text = [](const QByteArray &digest) {
        return QString::fromLatin1(digest.toHex().toUpper());
    };
    emit info(AProgrammer::tr("CRC32: <b>%1</b>").arg(text(result.crc32)));
    emit info(AProgrammer::tr("MD5: <b>%1</b>").arg(text(result.md5)));
    emit info(AProgrammer::tr("SHA1: <b>%1</b>").arg(text(result.sha1)));
    emit info(AProgrammer::tr("SHA256: <b>%1</b>").arg(text(result.sha256)));
    if (result.md5.isEmpty() || result.sha1.isEmpty() || result.sha256.isEmpty()) {
        emit error(
            AProgrammer::tr("MD5 or SHA1 could not be computed: this system's OpenSSL refuses it"));
        return false;
    }
    return true;
}

bool ImageBuffer::load(QIODevice *file)
{
    const qint64 blockSize = Programmer::blockSize();
    const qint64 flashSize = Programmer::blockCount() * blockSize;
    // The array the last load replaced takes the file: fresh memory of this size costs more to
    // map than the whole file costs to hash.
    QByteArray loaded = std::move(spareImage);
    if (loaded.size() != flashSize)
        loaded = hugePageArray(flashSize);
    // A stream (a pipe, a device) tells no size: it is read to its end. Of a file, a trailing
    // part shorter than a block is loaded too; nothing past the Flash is.
    const bool stream = file->isSequential();
    const qint64 fileBlocks = (file->size() + blockSize - 1) / blockSize;
    const int count =
        stream ? Programmer::blockCount() : int(qMin<qint64>(fileBlocks, Programmer::blockCount()));
    emit phaseProgress(QStringLiteral("load"), 0, count);
    emit operationBegin(AProgrammer::tr("Loading to buffer..."));

    resetDigests();
    qint64 total = 0;
    bool ok = true;
    {
        BackgroundFeed background([this](QByteArrayView block) { md5.addData(block); });
        for (int i = 0; i < count; ++i) {
            const qint64 position = i * blockSize;
            if (!stream && !file->seek(position)) {
                emit error(AProgrammer::tr("Failed to seek to position %1: %2")
                               .arg(position)
                               .arg(file->errorString()));
                ok = false;
                break;
            }
            char *slice = loaded.data() + position;
            const qint64 got = readFully(file, slice, blockSize);
            if (got < 0) {
                emit error(AProgrammer::tr("Failed to read data: %1").arg(file->errorString()));
                ok = false;
                break;
            }
            total += got;
            background.add(QByteArrayView(slice, got));
            addToOtherDigests(QByteArrayView(slice, got));
            // The file ended.
            if (got < blockSize)
                break;
            emit progress(i);
            emit phaseProgress(QStringLiteral("load"), i + 1, count);
        }
    }

    char more = 0;
    if (ok && stream && total == flashSize && readFully(file, &more, 1) != 0) {
        emit error(AProgrammer::tr(
            "The file holds more than the %n byte(s) of the Flash: nothing was loaded", nullptr,
            int(flashSize)));
        ok = false;
    }
    if (ok) {
        // Whatever the file did not fill is erased Flash.
        std::memset(loaded.data() + total, 0xFF, size_t(flashSize - total));
        buffer.buffer().swap(loaded);
        loadedBytes = total;
        if (total % blockSize != 0) {
            emit info(AProgrammer::tr("The file ends inside block %1: the rest of that block was "
                                      "filled with 0xFF")
                          .arg(total / blockSize));
        }
        if (file->size() > flashSize) {
            emit info(AProgrammer::tr("The file is larger than the Flash: only its first %n "
                                      "byte(s) were loaded, the rest of the file was ignored",
                                      nullptr, int(flashSize)));
        }
    }
    spareImage = std::move(loaded);
    emit info(AProgrammer::tr("Readed %n byte(s)", nullptr, int(total)));
    if (ok) {
        emitHashes();
        emit operationFinished(AProgrammer::tr("Finished"));
    } else {
        emit operationFinished(AProgrammer::tr("Operation failed"));
    }
    return ok;
}

bool ImageBuffer::save(QIODevice *file, QList<int> blocks)
{
    QList<int> list = blocks.isEmpty() ? directoryBlocks() : blocks;
    // Directories of 32 entries reach past the buffer; those blocks hold nothing to save.
    list.removeIf([](int block) { return block < 0 || block >= Programmer::blockCount(); });
    if (list.isEmpty() && !blocks.isEmpty()) {
        emit error(AProgrammer::tr("No Flash block to process"));
        return false;
    }
    if (list.isEmpty()) {
        for (int block = 0; block < Programmer::blockCount(); ++block)
            list.append(block);
    }
    emit phaseProgress(QStringLiteral("save"), 0, int(list.size()));
    emit operationBegin(AProgrammer::tr("Saving buffer content..."));
    const bool saved = writeBlocks(file, std::move(list));
    emit operationFinished(saved ? AProgrammer::tr("Finished")
                                 : AProgrammer::tr("Operation failed"));
    return saved;
}

bool ImageBuffer::writeBlocks(QIODevice *file, QList<int> list)
{
    const qint64 blockSize = Programmer::blockSize();
    const int total = int(list.size());
    // A stream (a pipe, a character device) cannot seek: its blocks go in ascending order, and
    // a gap between them is written as erased Flash.
    const bool stream = file->isSequential();
    if (stream) {
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
    }
    const QByteArray erased = stream ? QByteArray(blockSize, char(0xFF)) : QByteArray();
    const auto failed = [this, file] {
        emit error(AProgrammer::tr("Failed to write data: %1").arg(file->errorString()));
        return false;
    };
    qint64 streamed = 0;
    int written = 0;
    for (const int number : std::as_const(list)) {
        const qint64 position = number * blockSize;
        for (; stream && streamed < position; streamed += blockSize) {
            if (!writeFully(file, erased))
                return failed();
        }
        streamed = position + blockSize;
        if (!stream && !file->seek(position)) {
            emit error(AProgrammer::tr("Failed to seek to position %1: %2")
                           .arg(position)
                           .arg(file->errorString()));
            return false;
        }
        if (!writeFully(file, block(number)))
            return failed();
        emit progress(written++);
        emit phaseProgress(QStringLiteral("save"), written, total);
    }
    // A file's own buffer may still hold the last bytes; they count only once written.
    auto *fileDevice = qobject_cast<QFileDevice *>(file);
    if (fileDevice && !fileDevice->flush())
        return failed();
    return true;
}
