// The image buffer: loading and saving files, and their digests.
#include "engine/blockrange.h"
#include "engine/crc32.h"
#include "support/enginefixture.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTest>
#include <cstring>
#include <numeric>

namespace {

constexpr qint64 BlockSize = 131072;
constexpr qint64 FlashSize = 1024 * BlockSize;

// The first `size` bytes of one random array that all rows share (up to 1025 blocks).
QByteArray randomBytes(qint64 size)
{
    static const QByteArray data = [] {
        QByteArray bytes(FlashSize + 2 * BlockSize, Qt::Uninitialized);
        QRandomGenerator(100).fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                        bytes.size() / 4);
        return bytes;
    }();
    Q_ASSERT(size <= data.size());
    return QByteArray::fromRawData(data.constData(), size);
}

QList<int> upTo(int count)
{
    QList<int> values(count);
    std::iota(values.begin(), values.end(), 0);
    return values;
}

// A file that cannot seek to `failSeekAt`, nor read or write from `failIoAt` on; or a stream.
class FaultyFile : public QBuffer
{
public:
    FaultyFile(qint64 failSeekAt, qint64 failIoAt, bool stream = false)
        : failSeekAt(failSeekAt), failIoAt(failIoAt), stream(stream)
    {}
    bool seek(qint64 position) override
    {
        return position != failSeekAt ? QBuffer::seek(position) : refuse(false);
    }
    bool isSequential() const override { return stream; }

protected:
    qint64 readData(char *data, qint64 size) override
    {
        // A stream has no position of its own, and hands out its data in small pieces.
        if (stream) {
            const qint64 piece = std::min<qint64>({size, 5000, buffer().size() - streamed});
            std::memcpy(data, buffer().constData() + streamed, size_t(piece));
            streamed += piece;
            return piece;
        }
        return pos() < failIoAt ? QBuffer::readData(data, size) : refuse<qint64>(-1);
    }
    // Like a disk that fills up: what still fits is taken, then writes fail.
    qint64 writeData(const char *data, qint64 size) override
    {
        if (stream) {
            buffer().append(data, size);
            return size;
        }
        return pos() < failIoAt ? QBuffer::writeData(data, qMin(size, failIoAt - pos()))
                                : refuse<qint64>(-1);
    }

private:
    template <typename Result>
    Result refuse(Result result)
    {
        setErrorString(QStringLiteral("broken"));
        return result;
    }
    const qint64 failSeekAt;
    const qint64 failIoAt;
    const bool stream;
    qint64 streamed = 0;
};

} // namespace

class tst_ImageBuffer : public QObject
{
    Q_OBJECT

private:
    SharedEngine shared;

private slots:
    void initTestCase() { registerBlockRangeTypes(); }
    void init() { shared.releaseUnlessCurrent(); }

    void load_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("stream");
        QTest::addColumn<qint64>("failSeekAt");
        QTest::addColumn<qint64>("failIoAt");
        QTest::addColumn<QString>("error");
        const auto row = [](const char *name, qint64 size, bool stream = false,
                            qint64 failSeekAt = -1, qint64 failIoAt = FlashSize + BlockSize,
                            const char *error = "") {
            QTest::newRow(name) << size << stream << failSeekAt << failIoAt << QString(error);
        };
        row("shorter than a block", 100);
        row("5 blocks and a tail", 5 * BlockSize + 1000);
        row("stream of 3 blocks and a tail", 3 * BlockSize + 7, true);
        row("whole flash", FlashSize);
        row("larger than the flash", FlashSize + BlockSize + 5);
        row("read error", 4 * BlockSize, false, -1, 2 * BlockSize,
            "error: Failed to read data: broken");
        row("seek error", 4 * BlockSize, false, BlockSize, FlashSize,
            "error: Failed to seek to position 131072: broken");
        row("stream larger than the flash", FlashSize + 1, true, -1, FlashSize + BlockSize,
            "error: The file holds more than the 134217728 byte(s) of the Flash: nothing was "
            "loaded");
    }

    // The file fills the buffer from its start, erased Flash after it; a failed load reports the
    // bytes read and keeps the buffer as it was.
    void load()
    {
        QFETCH(qint64, size);
        QFETCH(bool, stream);
        QFETCH(qint64, failSeekAt);
        QFETCH(qint64, failIoAt);
        QFETCH(QString, error);
        SimEngine &sim = shared.get("programmers=0", false);
        const QByteArray before = blockPattern(9);
        QVERIFY(loadImage(*sim.engine, before));
        FaultyFile file(failSeekAt, failIoAt, stream);
        file.setData(randomBytes(size));
        QVERIFY(file.open(QIODevice::ReadOnly));
        sim.log->clear();
        QCOMPARE(sim.engine->loadBuffer(&file), error.isEmpty());

        const qint64 loadedBytes =
            std::min({size, FlashSize, failIoAt, failSeekAt < 0 ? size : failSeekAt});
        const int loadedBlocks = int(loadedBytes / BlockSize);
        QStringList lines = sim.log->lines;
        QCOMPARE(lines.takeFirst(), "begin: Loading to buffer...");
        QCOMPARE(sim.log->progress, upTo(loadedBlocks));
        if (!error.isEmpty()) {
            QCOMPARE(lines, QStringList({error, QString("info: Readed %1 byte(s)").arg(loadedBytes),
                                         "finished: Operation failed"}));
            QVERIFY(
                bufferImage(*sim.engine).startsWith(before + QByteArray(BlockSize, char(0xFF))));
            return;
        }
        // A partial last block is loaded, padded with 0xFF.
        if (loadedBytes % BlockSize != 0) {
            QCOMPARE(lines.takeFirst(), QString("info: The file ends inside block %1: the rest "
                                                "of that block was filled with 0xFF")
                                            .arg(loadedBlocks));
        }
        if (size > FlashSize) {
            QCOMPARE(lines.takeFirst(), "info: The file is larger than the Flash: only its first "
                                        "134217728 byte(s) were loaded, the rest of the file was "
                                        "ignored");
        }
        QCOMPARE(lines.takeFirst(), QString("info: Readed %1 byte(s)").arg(loadedBytes));
        QCOMPARE(lines.takeLast(), "finished: Finished");
        const QByteArray loaded = randomBytes(loadedBytes);
        // Digests of the whole Flash take long: the smaller files check them.
        if (size < FlashSize) {
            QCOMPARE(lines, digestLines(loaded));
            // Reading the accumulators leaves them as they were.
            sim.log->clear();
            sim.engine->emitHashes();
            QCOMPARE(sim.log->lines, digestLines(loaded));
        }
        QCOMPARE(lines.size(), 3);
        if (!stream)
            QCOMPARE(sim.engine->progressMaximum(),
                     int((loadedBytes + BlockSize - 1) / BlockSize) - 1);
        const QByteArray &buffer = bufferImage(*sim.engine);
        QVERIFY(buffer.startsWith(loaded));
        QVERIFY(std::all_of(buffer.begin() + loaded.size(), buffer.end(),
                            [](char byte) { return byte == char(0xFF); }));
    }

    void crc32_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("size");
        for (const int size : {1, 63, 64, 65, 127, 128, 1000, int(BlockSize) + 7}) {
            for (const int offset : {0, 3})
                QTest::addRow("%d bytes at %d", size, offset) << offset << size;
        }
    }

    // Any length at any alignment, also continued piece by piece, gives the standard CRC-32.
    void crc32()
    {
        QFETCH(int, offset);
        QFETCH(int, size);
        const QByteArrayView data = QByteArrayView(randomBytes(offset + size)).sliced(offset);
        const quint32 expected = slowCrc32(data);
        QCOMPARE(updateCrc32(0, data), expected);
        QCOMPARE(updateCrc32(updateCrc32(0, data.first(size / 3)), data.sliced(size / 3)),
                 expected);
    }

    // A new engine's buffer is erased Flash, also when erased bytes written in place of a bad
    // block are its first use.
    void newBufferIsErased()
    {
        for (const bool readBadBlock : {false, true}) {
            SimEngine sim("bad=5");
            if (readBadBlock) {
                QCOMPARE(sim.run([](AProgrammer &e) {
                                return e.request(AProgrammer::Read, {5},
                                                 AProgrammer::PhysicalBlocks);
                            })
                             .last(),
                         "finished: Complete");
            }
            QBuffer file;
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(sim.engine->saveBuffer(&file, {}));
            QVERIFY(file.data() == QByteArray(FlashSize, char(0xFF)));
        }
    }

    void save_data()
    {
        const QByteArray directory =
            imageWithDirectory({directoryEntry('a'), directoryEntry('b'), directoryEntry('c')});
        const QByteArray plain = randomBytes(8 * BlockSize);
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QList<int>>("blocks");
        QTest::addColumn<QList<int>>("saved");
        QTest::addColumn<qint64>("failSeekAt");
        QTest::addColumn<qint64>("failIoAt");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("stream");
        const auto row = [](const char *name, const QByteArray &image, const QList<int> &blocks,
                            const QList<int> &saved, qint64 failSeekAt = -1,
                            qint64 failIoAt = FlashSize, const QString &error = QString(),
                            bool stream = false) {
            QTest::newRow(name) << image << blocks << saved << failSeekAt << failIoAt << error
                                << stream;
        };
        row("image part", directory, {}, upTo(99));
        row("no directory: everything", plain, {}, upTo(1024));
        row("5 then 3", plain, {5, 3}, {5, 3});
        row("outside the flash left out", plain, {1024, 7, 1026}, {7});
        row("write error", plain, {0, 1, 2}, {0}, -1, BlockSize,
            "error: Failed to write data: broken");
        row("disk full inside a block", plain, {0, 1}, {0}, -1, BlockSize + 1000,
            "error: Failed to write data: broken");
        row("seek error", plain, {0, 2}, {0}, 2 * BlockSize, FlashSize,
            "error: Failed to seek to position 262144: broken");
        // A stream takes its blocks in ascending order, the gaps as erased Flash.
        row("stream", plain, {5, 7, 3}, {5, 7, 3}, -1, FlashSize, {}, true);
    }

    // Every block lands at its own offset, in list order; a failure is never reported as finished.
    void save()
    {
        QFETCH(QByteArray, image);
        QFETCH(QList<int>, blocks);
        QFETCH(QList<int>, saved);
        QFETCH(qint64, failSeekAt);
        QFETCH(qint64, failIoAt);
        QFETCH(QString, error);
        QFETCH(bool, stream);
        SimEngine &sim = shared.get("programmers=0", false);
        QVERIFY(loadImage(*sim.engine, image));
        sim.log->clear();
        FaultyFile file(failSeekAt, failIoAt, stream);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(sim.engine->saveBuffer(&file, blocks), error.isEmpty());

        const QString end = error.isEmpty() ? "finished: Finished" : "finished: Operation failed";
        QStringList lines{"begin: Saving buffer content...", error, end};
        lines.removeAll(QString());
        QCOMPARE(sim.log->lines, lines);
        QCOMPARE(sim.log->progress, upTo(int(saved.size())));
        const QByteArray &buffer = bufferImage(*sim.engine);
        for (const qint64 block : saved)
            QVERIFY(file.data().mid(block * BlockSize, BlockSize) ==
                    buffer.mid(block * BlockSize, BlockSize));
        if (error.isEmpty())
            QCOMPARE(file.size(), (*std::max_element(saved.begin(), saved.end()) + 1) * BlockSize);
    }

    // Calls made from the window while a load lets it process events are refused instead of
    // locking the engine a second time, and the poll opens no programmer meanwhile.
    void callsDuringLoadAreRefused()
    {
        SimEngine sim("1", false);
        AProgrammer *engine = sim.engine.get();
        QList<bool> results;
        QObject::connect(engine, &AProgrammer::progress, engine, [&](int value) {
            if (value != 0)
                return;
            QBuffer other;
            other.open(QIODevice::ReadWrite);
            results << engine->read({1}) << engine->readAuto() << engine->loadBuffer(&other)
                    << engine->saveBuffer(&other, {}) << engine->open(0) << engine->fwUprgade();
            for (int i = 0; i < 3; ++i)
                sendPollTick(*engine);
            results << engine->isReady();
        });
        QVERIFY(loadImage(*engine, randomBytes(2 * BlockSize)));
        QCOMPARE(results, QList<bool>(7, false));
        QVERIFY(!engine->isReady());
        sendPollTick(*engine);
        QVERIFY(engine->isReady());
    }
};

QTEST_GUILESS_MAIN(tst_ImageBuffer)
#include "tst_imagebuffer.moc"
