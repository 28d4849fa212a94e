// The image buffer: loading and saving files, their digests, and a whole image's round trip
// through the simulated programmer.
#include "engine/blockrange.h"
#include "engine/crc32.h"
#include "support/enginefixture.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <cstring>

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
    QList<int> values;
    for (int i = 0; i < count; ++i)
        values.append(i);
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
        QTest::addColumn<bool>("checkDigests");
        QTest::newRow("shorter than a block") << qint64(100) << false << true;
        QTest::newRow("5 blocks and a tail") << 5 * BlockSize + 1000 << false << true;
        QTest::newRow("stream of 3 blocks and a tail") << 3 * BlockSize + 7 << true << true;
        QTest::newRow("whole flash") << FlashSize << false << false;
        QTest::newRow("larger than the flash") << FlashSize + BlockSize + 5 << false << false;
    }

    void load()
    {
        QFETCH(qint64, size);
        QFETCH(bool, stream);
        QFETCH(bool, checkDigests);
        SimEngine &sim = shared.get("programmers=0", false);
        QSignalSpy progress(sim.engine.get(), &AProgrammer::progress);
        FaultyFile file(-1, FlashSize + BlockSize, stream);
        file.setData(randomBytes(size));
        QVERIFY(file.open(QIODevice::ReadOnly));
        sim.log->clear();
        QVERIFY(sim.engine->loadBuffer(&file));

        const qint64 loadedBytes = qMin(size, FlashSize);
        const int loadedBlocks = int(loadedBytes / BlockSize);
        QStringList lines = sim.log->lines;
        QCOMPARE(lines.takeFirst(), "begin: Loading to buffer...");
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
        if (checkDigests) {
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
        QList<int> values;
        for (const QList<QVariant> &signal : progress)
            values.append(signal.at(0).toInt());
        QCOMPARE(values, upTo(loadedBlocks));
        const QByteArray &buffer = bufferImage(*sim.engine);
        QVERIFY(buffer.startsWith(loaded));
        QVERIFY(std::all_of(buffer.begin() + loaded.size(), buffer.end(),
                            [](char byte) { return byte == char(0xFF); }));
    }

    void loadFailure_data()
    {
        QTest::addColumn<qint64>("failSeekAt");
        QTest::addColumn<qint64>("failIoAt");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("bytes");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("stream");
        QTest::newRow("read error")
            << qint64(-1) << 2 * BlockSize << "error: Failed to read data: broken" << 262144
            << 4 * BlockSize << false;
        QTest::newRow("seek error")
            << BlockSize << FlashSize << "error: Failed to seek to position 131072: broken"
            << 131072 << 4 * BlockSize << false;
        QTest::newRow("stream larger than the flash")
            << qint64(-1) << FlashSize + BlockSize
            << "error: The file holds more than the 134217728 byte(s) of the Flash: nothing was "
               "loaded"
            << int(FlashSize) << FlashSize + 1 << true;
    }

    // A failed load reports the bytes read and keeps the buffer as it was.
    void loadFailure()
    {
        QFETCH(qint64, failSeekAt);
        QFETCH(qint64, failIoAt);
        QFETCH(QString, error);
        QFETCH(int, bytes);
        QFETCH(qint64, size);
        QFETCH(bool, stream);
        SimEngine &sim = shared.get("programmers=0", false);
        const QByteArray before = blockPattern(9);
        QVERIFY(loadImage(*sim.engine, before));
        FaultyFile file(failSeekAt, failIoAt, stream);
        file.setData(randomBytes(size));
        QVERIFY(file.open(QIODevice::ReadOnly));
        sim.log->clear();
        QVERIFY(!sim.engine->loadBuffer(&file));
        QCOMPARE(sim.log->lines, QStringList({"begin: Loading to buffer...", error,
                                              QString("info: Readed %1 byte(s)").arg(bytes),
                                              "finished: Operation failed"}));
        QVERIFY(bufferImage(*sim.engine).startsWith(before + QByteArray(BlockSize, char(0xFF))));
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

    void newBufferIsErased_data()
    {
        QTest::addColumn<bool>("readBadBlock");
        QTest::newRow("untouched") << false;
        // Erased bytes written in place of a bad block are the first use of the buffer.
        QTest::newRow("bad block read first") << true;
    }

    // A new engine's buffer is erased Flash, also before anything has written to it.
    void newBufferIsErased()
    {
        QFETCH(bool, readBadBlock);
        SimEngine sim("bad=5");
        if (readBadBlock) {
            QCOMPARE(sim.run([](AProgrammer &e) {
                            return e.request(AProgrammer::Read, {5}, AProgrammer::PhysicalBlocks);
                        })
                         .last(),
                     "finished: Complete");
        }
        QBuffer file;
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(sim.engine->saveBuffer(&file, {}));
        QVERIFY(file.data() == QByteArray(FlashSize, char(0xFF)));
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
        const auto row = [](const char *name, const QByteArray &image, const QList<int> &blocks,
                            const QList<int> &saved, qint64 failSeekAt = -1,
                            qint64 failIoAt = FlashSize, const QString &error = QString()) {
            QTest::newRow(name) << image << blocks << saved << failSeekAt << failIoAt << error;
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
        SimEngine &sim = shared.get("programmers=0", false);
        QVERIFY(loadImage(*sim.engine, image));
        sim.log->clear();
        FaultyFile file(failSeekAt, failIoAt);
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

    // An image written, read back, verified and hashed on the flash comes back unchanged.
    void roundTrip()
    {
        SimEngine sim;
        const QByteArray image =
            imageWithDirectory({directoryEntry('x'), directoryEntry('y'), directoryEntry('z')}, 7);
        QVERIFY(loadImage(*sim.engine, image));
        QCOMPARE(sim.log->lines.mid(2, 3), digestLines(image));
        QCOMPARE(sim.run([](AProgrammer &e) { return e.autoProgramAuto(); }),
                 QStringList(
                     {"begin: Auto-programming 99 Flash block(s): 0...98", "finished: Complete"}));

        QVERIFY(loadImage(*sim.engine, QByteArray()));
        QCOMPARE(sim.run([](AProgrammer &e) { return e.readAuto(); }),
                 QStringList({"begin: Reading firmware version info...",
                              "begin: Reading 99 Flash block(s): 0...98", "finished: Complete"}));
        QVERIFY(bufferImage(*sim.engine).left(image.size()) == image);
        QCOMPARE(sim.run([](AProgrammer &e) { return e.verifyAuto(); }).last(),
                 "finished: Complete");
        QStringList lines = sim.run([](AProgrammer &e) { return e.calcHashAuto(); });
        QCOMPARE(lines.takeLast(), "finished: Complete");
        QCOMPARE(lines.mid(2), digestLines(image));
    }
};

QTEST_GUILESS_MAIN(tst_ImageBuffer)
#include "tst_imagebuffer.moc"
