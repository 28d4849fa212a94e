// The image buffer: loading and saving files, and their digests.
#include "engine/blockrange.h"
#include "support/enginefixture.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTest>
#include <cstring>
#include <numeric>

namespace {

constexpr qint64 BlockSize = Geometry::BlockSize;
constexpr qint64 FlashSize = Geometry::ImageSize;
constexpr qint64 Stream = -1;
using Geometry::BlockCount;

// The first `size` bytes of one random array that all rows share (up to 1025 blocks).
QByteArray randomBytes(qint64 size)
{
    static const QByteArray data = [] {
        QByteArray bytes(FlashSize + 2 * BlockSize, Qt::Uninitialized);
        QRandomGenerator(100).fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                        bytes.size() / 4);
        return bytes;
    }();
    return QByteArray::fromRawData(data.constData(), size);
}

QList<int> upTo(int count)
{
    QList<int> values(count);
    std::iota(values.begin(), values.end(), 0);
    return values;
}

// A file that cannot write from byte `failAt` on, or with `failAt` Stream, a stream.
class FaultyFile : public QBuffer
{
public:
    explicit FaultyFile(qint64 failAt) : failAt(failAt) {}
    bool isSequential() const override { return failAt == Stream; }

protected:
    qint64 readData(char *data, qint64 size) override
    {
        if (!isSequential())
            return QBuffer::readData(data, size);
        // A stream has no position of its own, and hands out its data in small pieces.
        const qint64 piece = std::min<qint64>({size, 5000, buffer().size() - streamed});
        std::memcpy(data, buffer().constData() + streamed, size_t(piece));
        streamed += piece;
        return piece;
    }
    // Like a disk that fills up: what still fits is taken, then writes fail.
    qint64 writeData(const char *data, qint64 size) override
    {
        if (isSequential()) {
            buffer().append(data, size);
            return size;
        }
        if (pos() < failAt)
            return QBuffer::writeData(data, qMin(size, failAt - pos()));
        setErrorString(QStringLiteral("broken"));
        return -1;
    }

private:
    const qint64 failAt;
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
        QTest::addColumn<QStringList>("notes"); // What comes before "Readed": an error fails.
        const auto row = [](const char *name, qint64 size, bool stream, const QStringList &notes) {
            QTest::newRow(name) << size << stream << notes;
        };
        // A partial last block is padded with 0xFF; tails of 40 and 1000 bytes take both CRC paths.
        row("shorter than a block", 40, false,
            {"info: The file ends inside block 0: the rest of that block was filled with 0xFF"});
        row("stream of 3 blocks and a tail", 3 * BlockSize + 1000, true,
            {"info: The file ends inside block 3: the rest of that block was filled with 0xFF"});
        row("whole flash", FlashSize, false, {});
        row("larger than the flash", FlashSize + BlockSize + 5, false,
            {"info: The file is larger than the Flash: only its first 134217728 byte(s) were "
             "loaded, the rest of the file was ignored"});
        row("stream larger than the flash", FlashSize + 1, true,
            {"error: The file holds more than the 134217728 byte(s) of the Flash: nothing was "
             "loaded"});
    }

    // The file fills the buffer from its start, erased Flash after it; a failed load changes none.
    void load()
    {
        QFETCH(qint64, size);
        QFETCH(bool, stream);
        QFETCH(QStringList, notes);
        SimEngine &sim = shared.get("programmers=0", false);
        const QByteArray before = blockPattern(9);
        QVERIFY(loadImage(*sim.engine, before));
        FaultyFile file(stream ? Stream : FlashSize);
        file.setData(randomBytes(size));
        QVERIFY(file.open(QIODevice::ReadOnly));
        sim.log->clear();
        const bool loads = notes.filter("error: ").isEmpty();
        QCOMPARE(sim.engine->loadBuffer(&file), loads);

        const qint64 loadedBytes = std::min(size, FlashSize);
        const QByteArray loaded = randomBytes(loadedBytes);
        QCOMPARE(sim.log->progress, upTo(int(loadedBytes / BlockSize)));
        QStringList lines = sim.log->lines;
        // Digests of the whole Flash take long: only those of the smaller files are checked.
        if (loads && size >= FlashSize)
            lines.remove(lines.size() - 5, 4);
        const QStringList digests = loads && size < FlashSize ? digestLines(loaded) : QStringList();
        QCOMPARE(lines,
                 QStringList("begin: Loading to buffer...") + notes +
                     QStringList(QString("info: Readed %1 byte(s)").arg(loadedBytes)) + digests +
                     QStringList(loads ? "finished: Finished" : "finished: Operation failed"));
        if (!loads) {
            QVERIFY(
                bufferImage(*sim.engine).startsWith(before + QByteArray(BlockSize, char(0xFF))));
            return;
        }
        if (!stream)
            QCOMPARE(sim.engine->progressMaximum(), int((loadedBytes - 1) / BlockSize));
        const QByteArray &buffer = bufferImage(*sim.engine);
        QVERIFY(buffer.startsWith(loaded));
        QVERIFY(std::all_of(buffer.begin() + loaded.size(), buffer.end(),
                            [](char byte) { return byte == char(0xFF); }));
    }

    void save_data()
    {
        const QByteArray directory =
            imageWithDirectory({directoryEntry('a'), directoryEntry('b'), directoryEntry('c')});
        const QByteArray plain = randomBytes(8 * BlockSize);
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QList<int>>("blocks");
        QTest::addColumn<QList<int>>("saved");
        QTest::addColumn<qint64>("failAt");
        const auto row = [](const char *name, const QByteArray &image, const QList<int> &blocks,
                            const QList<int> &saved, qint64 failAt = FlashSize) {
            QTest::newRow(name) << image << blocks << saved << failAt;
        };
        row("image part", directory, {}, upTo(99));
        row("no directory: everything", plain, {}, upTo(BlockCount));
        row("5 then 3", plain, {5, 3}, {5, 3});
        row("outside the flash left out", plain, {BlockCount, 7, BlockCount + 2}, {7});
        row("disk full inside a block", plain, {0, 1}, {0}, BlockSize + 1000);
        // A stream takes its blocks in ascending order, the gaps as erased Flash.
        row("stream", plain, {5, 7, 3}, {5, 7, 3}, Stream);
    }

    // Every block lands at its own offset, in list order; a failure is never reported as finished.
    void save()
    {
        QFETCH(QByteArray, image);
        QFETCH(QList<int>, blocks);
        QFETCH(QList<int>, saved);
        QFETCH(qint64, failAt);
        SimEngine &sim = shared.get("programmers=0", false);
        QVERIFY(loadImage(*sim.engine, image));
        sim.log->clear();
        FaultyFile file(failAt);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const bool fails = failAt != Stream && failAt < FlashSize;
        QCOMPARE(sim.engine->saveBuffer(&file, blocks), !fails);
        QCOMPARE(sim.log->lines, QStringList("begin: Saving buffer content...") +
                                     (fails ? QStringList{"error: Failed to write data: broken",
                                                          "finished: Operation failed"}
                                            : QStringList{"finished: Finished"}));
        QCOMPARE(sim.log->progress, upTo(int(saved.size())));
        const QByteArray &buffer = bufferImage(*sim.engine);
        for (const qint64 block : saved)
            QVERIFY(file.data().mid(block * BlockSize, BlockSize) ==
                    buffer.mid(block * BlockSize, BlockSize));
        if (!fails)
            QCOMPARE(file.size(), (*std::max_element(saved.begin(), saved.end()) + 1) * BlockSize);
    }

    // A new buffer is erased Flash, also when a bad block's erased bytes are its first use. Calls
    // made while a load processes events are refused instead of locking the engine twice.
    void freshEngine()
    {
        SimEngine sim("bad=5");
        AProgrammer &engine = *sim.engine;
        QVERIFY(
            engine.request(AProgrammer::Read, BlockScope::list({5}), AProgrammer::PhysicalBlocks));
        QVERIFY(sim.log->waitFinished());
        QCOMPARE(sim.log->lines.last(), "finished: Complete");
        QBuffer file;
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(engine.saveBuffer(&file, {}));
        QVERIFY(file.data() == QByteArray(FlashSize, char(0xFF)));
        QList<bool> results;
        QObject::connect(&engine, &AProgrammer::progress, &engine, [&](int value) {
            if (value == 0) {
                results << engine.read({1}) << engine.readAuto() << engine.loadBuffer(&file)
                        << engine.saveBuffer(&file, {}) << engine.open(0) << engine.fwUprgade();
            }
        });
        QVERIFY(loadImage(engine, randomBytes(2 * BlockSize)));
        QCOMPARE(results, QList<bool>(6, false));
    }
};

QTEST_GUILESS_MAIN(tst_ImageBuffer)
#include "tst_imagebuffer.moc"
