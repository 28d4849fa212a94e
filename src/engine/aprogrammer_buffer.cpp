#include "engine/aprogrammer.h"

#include "engine/crc32.h"
#include "engine/hugearray.h"
#include "engine/imagedirectory.h"
#include "protocol/programmer.h"

#include <QByteArrayView>
#include <QCoreApplication>
#include <QFileDevice>
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace {

// Feeds blocks to digest accumulators on a thread of its own while the caller goes on reading:
// a load hashes MD5 here, and reads the file and hashes SHA1 and CRC32 itself, two halves of
// about equal cost, so that the three digests take about as long as MD5 alone.
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

void AProgrammer::resetDigests()
{
    md5.reset();
    sha1.reset();
    crc32 = 0;
}

void AProgrammer::addToSha1AndCrc32(QByteArrayView data)
{
    sha1.addData(data);
    crc32 = updateCrc32(crc32, data);
}

void AProgrammer::addToDigests(QByteArrayView data)
{
    md5.addData(data);
    addToSha1AndCrc32(data);
}

bool AProgrammer::emitHashes()
{
    const QString crc = QString::number(crc32, 16).rightJustified(8, QLatin1Char('0'));
    emit info(tr("CRC32: <b>%1</b>").arg(crc.toUpper()));
    const QByteArray md5Result = md5.result();
    const QByteArray sha1Result = sha1.result();
    emit info(tr("MD5: <b>%1</b>").arg(QString::fromLatin1(md5Result.toHex().toUpper())));
    emit info(tr("SHA1: <b>%1</b>").arg(QString::fromLatin1(sha1Result.toHex().toUpper())));
    if (md5Result.isEmpty() || sha1Result.isEmpty()) {
        emit error(tr("MD5 or SHA1 could not be computed: this system's OpenSSL refuses it"));
        return false;
    }
    return true;
}

QBuffer &AProgrammer::imageBuffer()
{
    // An empty array stands for an erased Flash.
    if (buffer.data().isEmpty()) {
        QByteArray erased = hugePageArray(qsizetype(blockCount()) * Programmer::blockSize());
        erased.fill(char(0xFF));
        buffer.buffer().swap(erased);
    }
    return buffer;
}

QList<int> AProgrammer::bufferDirectoryBlocks()
{
    return ::bufferDirectoryBlocks(&imageBuffer());
}

void AProgrammer::finishFileOperation()
{
    setState(Idle);
    fileBusy = false;
}

bool AProgrammer::loadBuffer(QIODevice *file)
{
    if (lockHeldHere())
        return false;
    GuiLock lock(*this);
    if (isBusy(readState()))
        return false;
    fileBusy = true;

    const qint64 blockSize = Programmer::blockSize();
    const qint64 flashSize = blockCount() * blockSize;
    // The array the last load replaced takes the file: fresh memory of this size costs more to
    // map than the whole file costs to hash.
    QByteArray image = std::move(spareImage);
    if (image.size() != flashSize)
        image = hugePageArray(flashSize);
    // A stream (a pipe, a device) tells no size: it is read to its end. Of a file, a trailing
    // part shorter than a block is loaded too; nothing past the Flash is.
    const bool stream = file->isSequential();
    const qint64 fileBlocks = (file->size() + blockSize - 1) / blockSize;
    const int count = stream ? blockCount() : int(qMin<qint64>(fileBlocks, blockCount()));
    progressMin = 0;
    progressMax = count - 1;
    emit operationBegin(tr("Loading to buffer..."));

    resetDigests();
    qint64 total = 0;
    bool loaded = true;
    {
        BackgroundFeed background([this](QByteArrayView block) { md5.addData(block); });
        for (int i = 0; i < count; ++i) {
            const qint64 position = i * blockSize;
            if (!stream && !file->seek(position)) {
                emit error(
                    tr("Failed to seek to position %1: %2").arg(position).arg(file->errorString()));
                loaded = false;
                break;
            }
            char *slice = image.data() + position;
            const qint64 got = readFully(file, slice, blockSize);
            if (got < 0) {
                emit error(tr("Failed to read data: %1").arg(file->errorString()));
                loaded = false;
                break;
            }
            total += got;
            background.add(QByteArrayView(slice, got));
            addToSha1AndCrc32(QByteArrayView(slice, got));
            // The file ended.
            if (got < blockSize)
                break;
            emit progress(i);
            QCoreApplication::processEvents();
        }
    }

    char more = 0;
    if (loaded && stream && total == flashSize && readFully(file, &more, 1) != 0) {
        emit error(tr("The file holds more than the %n byte(s) of the Flash: nothing was loaded",
                      nullptr, int(flashSize)));
        loaded = false;
    }
    if (loaded) {
        // Whatever the file did not fill is erased Flash.
        std::memset(image.data() + total, 0xFF, size_t(flashSize - total));
        buffer.buffer().swap(image);
        loadedSize = total;
        if (total % blockSize != 0) {
            emit info(tr("The file ends inside block %1: the rest of that block was filled with "
                         "0xFF")
                          .arg(total / blockSize));
        }
        if (file->size() > flashSize) {
            emit info(tr("The file is larger than the Flash: only its first %n byte(s) were "
                         "loaded, the rest of the file was ignored",
                         nullptr, int(blockCount() * blockSize)));
        }
    }
    spareImage = std::move(image);
    emit info(tr("Readed %n byte(s)", nullptr, int(total)));
    if (loaded) {
        emitHashes();
        emit operationFinished(tr("Finished"));
    } else {
        emit operationFinished(tr("Operation failed"));
    }
    finishFileOperation();
    return loaded;
}

bool AProgrammer::saveBuffer(QIODevice *file, QList<int> blocks)
{
    if (lockHeldHere())
        return false;
    GuiLock lock(*this);
    if (isBusy(readState()))
        return false;

    // Directories of 32 entries reach past the buffer; those blocks hold nothing to save.
    QList<int> list = blocksOnFlash(blocks.isEmpty() ? bufferDirectoryBlocks() : blocks);
    if (list.isEmpty() && !blocks.isEmpty()) {
        emit error(tr("No Flash block to process"));
        return false;
    }
    if (list.isEmpty()) {
        for (int block = 0; block < blockCount(); ++block)
            list.append(block);
    }
    fileBusy = true;

    const qint64 blockSize = Programmer::blockSize();
    progressMin = 0;
    progressMax = int(list.size()) - 1;
    emit operationBegin(tr("Saving buffer content..."));

    // A stream (a pipe, a character device) cannot seek: its blocks go in ascending order, and
    // a gap between them is written as erased Flash.
    const bool stream = file->isSequential();
    if (stream) {
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
    }
    const QByteArray erased = stream ? QByteArray(blockSize, char(0xFF)) : QByteArray();
    qint64 streamed = 0;
    bool saved = true;
    int written = 0;
    for (const int block : std::as_const(list)) {
        const qint64 position = block * blockSize;
        for (; stream && saved && streamed < position; streamed += blockSize)
            saved = writeFully(file, erased);
        if (!saved) {
            emit error(tr("Failed to write data: %1").arg(file->errorString()));
            break;
        }
        streamed = position + blockSize;
        if (!stream && !file->seek(position)) {
            emit error(
                tr("Failed to seek to position %1: %2").arg(position).arg(file->errorString()));
            saved = false;
            break;
        }
        if (!writeFully(file, bufferBlock(block))) {
            emit error(tr("Failed to write data: %1").arg(file->errorString()));
            saved = false;
            break;
        }
        emit progress(written++);
        QCoreApplication::processEvents();
    }
    // A file's own buffer may still hold the last bytes; they count only once written.
    auto *fileDevice = qobject_cast<QFileDevice *>(file);
    if (saved && fileDevice && !fileDevice->flush()) {
        emit error(tr("Failed to write data: %1").arg(file->errorString()));
        saved = false;
    }

    emit operationFinished(saved ? tr("Finished") : tr("Operation failed"));
    finishFileOperation();
    return saved;
}
