// The image buffer: loading and saving files, and their digests.
#include "engine/blockrange.h"
#include "support/enginefixture.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTest>
#include <cstring>
#include <numeric>

namespace {

constexpr qint64 BlockSize = 131072;
constexpr qint64 FlashSize = 1024 * BlockSize;
constexpr qint64 Stream = -1;

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

// A file that cannot read or write from byte `failAt` on, or with `failAt` Stream, a stream.
class FaultyFile : public QBuffer
{
public:
    explicit FaultyFile(qint64 failAt) : failAt(failAt) {}
    bool isSequential() const override { return failAt == Stream; }

protected:
    qint64 readData(char *data, qint64 size) override
    {
        // A stream has no position of its own, and hands out its data in small pieces.
        if (isSequential()) {
            const qint64 piece = std::min<qint64>({size, 5000, buffer().size() - streamed});
            std::memcpy(data, buffer().constData() + streamed, size_t(piece));
            streamed += piece;
            return piece;
        }
        return pos() < failAt ? QBuffer::readData(data, size) : broken();
    }
    // Like a disk that fills up: what still fits is taken, then writes fail.
    qint64 writeData(const char *data, qint64 size) override
    {
        if (isSequential()) {
            buffer().append(data, size);
            return size;
        }
        return pos() < failAt ? QBuffer::writeData(data, qMin(size, failAt - pos())) : broken();
    }

private:
    qint64 broken()
    {
        setErrorString(QStringLiteral("broken"));
        return -1;
    }
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
        QTest::addColumn<qint64>("failAt");
        QTest::addColumn<QStringList>("notes"); // What comes before "Readed": an error fails.
        const auto row = [](const char *name, qint64 size, qint64 failAt,
                            const QStringList &notes) {
            QTest::newRow(name) << size << failAt << notes;
        };
        // A partial last block is loaded, padded with 0xFF. The tails of 40 and 1000 bytes take
        // the CRC-32 through its short path and through its 16-byte folding steps.
        row("shorter than a block", 40, FlashSize,
            {"info: The file ends inside block 0: the rest of that block was filled with 0xFF"});
        row("stream of 3 blocks and a tail", 3 * BlockSize + 1000, Stream,
            {"info: The file ends inside block 3: the rest of that block was filled with 0xFF"});
        row("whole flash", FlashSize, FlashSize, {});
        row("larger than the flash", FlashSize + BlockSize + 5, 2 * FlashSize,
            {"info: The file is larger than the Flash: only its first 134217728 byte(s) were "
             "loaded, the rest of the file was ignored"});
        row("read error", 4 * BlockSize, 2 * BlockSize, {"error: Failed to read data: broken"});
        row("stream larger than the flash", FlashSize + 1, Stream,
            {"error: The file holds more than the 134217728 byte(s) of the Flash: nothing was "
             "loaded"});
    }

    // The file fills the buffer from its start, erased Flash after it; a failed load reports the
    // bytes read and keeps the buffer as it was.
    void load()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, failAt);
        QFETCH(QStringList, notes);
        SimEngine &sim = shared.get("programmers=0", false);
        const QByteArray before = blockPattern(9);
        QVERIFY(loadImage(*sim.engine, before));
        FaultyFile file(failAt);
        file.setData(randomBytes(size));
        QVERIFY(file.open(QIODevice::ReadOnly));
        sim.log->clear();
        const bool loads = notes.filter("error: ").isEmpty();
        QCOMPARE(sim.engine->loadBuffer(&file), loads);

        const qint64 loadedBytes = std::min({size, FlashSize, failAt == Stream ? size : failAt});
        const QByteArray loaded = randomBytes(loadedBytes);
        QCOMPARE(sim.log->progress, upTo(int(loadedBytes / BlockSize)));
        QStringList lines = sim.log->lines;
        // Digests of the whole Flash take long: only those of the smaller files are checked.
        if (loads && size >= FlashSize)
            lines.remove(lines.size() - 4, 3);
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
        if (failAt != Stream)
            QCOMPARE(sim.engine->progressMaximum(), int((loadedBytes - 1) / BlockSize));
        const QByteArray &buffer = bufferImage(*sim.engine);
        QVERIFY(buffer.startsWith(loaded));
        QVERIFY(std::all_of(buffer.begin() + loaded.size(), buffer.end(),
                            [](char byte) { return byte == char(0xFF); }));
    }

    // A new engine's buffer is erased Flash, also when erased bytes written in place of a bad
    // block are its first use.
    void newBufferIsErased()
    {
        SimEngine sim("bad=5");
        QCOMPARE(sim.run([](AProgrammer &e) {
                        return e.request(AProgrammer::Read, {5}, AProgrammer::PhysicalBlocks);
                    })
                     .last(),
                 "finished: Complete");
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
        QTest::addColumn<qint64>("failAt");
        QTest::addColumn<QString>("error");
        const auto row = [](const char *name, const QByteArray &image, const QList<int> &blocks,
                            const QList<int> &saved, qint64 failAt = FlashSize,
                            const char *error = "") {
            QTest::newRow(name) << image << blocks << saved << failAt << QString(error);
        };
        row("image part", directory, {}, upTo(99));
        row("no directory: everything", plain, {}, upTo(1024));
        row("5 then 3", plain, {5, 3}, {5, 3});
        row("outside the flash left out", plain, {1024, 7, 1026}, {7});
        row("disk full inside a block", plain, {0, 1}, {0}, BlockSize + 1000,
            "error: Failed to write data: broken");
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
        QFETCH(QString, error);
        SimEngine &sim = shared.get("programmers=0", false);
        QVERIFY(loadImage(*sim.engine, image));
        sim.log->clear();
        FaultyFile file(failAt);
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
    // locking the engine a second time.
    void callsDuringLoadAreRefused()
    {
        SimEngine sim;
        AProgrammer &engine = *sim.engine;
        QList<bool> results;
        QObject::connect(&engine, &AProgrammer::progress, &engine, [&](int value) {
            QBuffer other;
            if (value == 0 && other.open(QIODevice::ReadWrite)) {
                results << engine.read({1}) << engine.readAuto() << engine.loadBuffer(&other)
                        << engine.saveBuffer(&other, {}) << engine.open(0) << engine.fwUprgade();
            }
        });
        QVERIFY(loadImage(engine, randomBytes(2 * BlockSize)));
        QCOMPARE(results, QList<bool>(6, false));
    }
};

QTEST_GUILESS_MAIN(tst_ImageBuffer)
#include "tst_imagebuffer.moc"
