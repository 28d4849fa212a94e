#include "support/enginefixture.h"
#include "support/simtestconfig.h"

#include "sim/nandchip.h"

#include <QAbstractEventDispatcher>
#include <QBuffer>
#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTest>
#include <QTimerEvent>

namespace {

using Geometry::BlockSize;
using Geometry::PageSize;

} // namespace

EngineLog::EngineLog(AProgrammer *engine)
{
    const auto line = [this](const char *prefix) {
        return [this, prefix](const QString &text) { lines.append(QLatin1String(prefix) + text); };
    };
    connect(engine, &AProgrammer::operationBegin, this, line("begin: "));
    connect(engine, &AProgrammer::info, this, line("info: "));
    connect(engine, &AProgrammer::error, this, line("error: "));
    connect(engine, &AProgrammer::operationFinished, this, line("finished: "));
    connect(engine, &AProgrammer::progress, this, [this](int value) { progress.append(value); });
    connect(engine, &AProgrammer::operationResult, this,
            [this](const OperationResult &result) { results.append(result); });
    connect(engine, &AProgrammer::chipInfo, this, [this](const QString &name, QList<int> bad) {
        QStringList numbers;
        for (const int block : bad)
            numbers.append(QString::number(block));
        lines.append(QStringLiteral("chip: %1 [%2]").arg(name, numbers.join(QLatin1String(", "))));
    });
}

bool EngineLog::waitFinished()
{
    // The result follows the request's last line.
    return QTest::qWaitFor(
        [&] { return !results.isEmpty() && !lines.filter(QLatin1String("finished: ")).isEmpty(); },
        60000);
}

void EngineLog::clear()
{
    lines.clear();
    progress.clear();
    results.clear();
}

SimEngine::SimEngine(const QByteArray &config, bool open)
    : set(simTestConfig(config)), driver(set.driver()), engine(std::make_unique<AProgrammer>()),
      log(std::make_unique<EngineLog>(engine.get()))
{
    if (open)
        engine->open(0);
    log->clear();
}

QStringList SimEngine::run(const std::function<bool(AProgrammer &)> &request)
{
    log->clear();
    if (!request(*engine))
        log->lines.append(QStringLiteral("refused"));
    else if (!log->waitFinished())
        log->lines.append(QStringLiteral("timed out"));
    return log->lines;
}

SimEngine &SharedEngine::get(const QByteArray &config, bool open)
{
    if (!engine || function != QTest::currentTestFunction()) {
        engine.reset();
        engine = std::make_unique<SimEngine>(config, open);
        function = QTest::currentTestFunction();
    }
    engine->log->clear();
    return *engine;
}

void SharedEngine::releaseUnlessCurrent()
{
    if (function != QTest::currentTestFunction())
        engine.reset();
}

QByteArray blockPattern(quint32 seed)
{
    QByteArray data(BlockSize, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(data.data()), BlockSize / 4);
    return data;
}

QByteArray directoryEntry(char fill)
{
    QByteArray entry(16, fill);
    entry[0] = 'E';
    return entry;
}

QByteArray imageWithDirectory(const QList<QByteArray> &entries, quint32 seed)
{
    QByteArray image;
    const int blocks = 3 + 32 * int(entries.size());
    for (int block = 0; block < blocks; ++block)
        image += blockPattern(seed * 4096 + quint32(block));
    qsizetype offset = 2 * BlockSize + 129030;
    for (const QByteArray &entry : entries) {
        image.replace(offset, 16, entry);
        offset += 16;
    }
    image.replace(offset, 16, QByteArray(16, char(0xFF)));
    return image;
}

bool loadImage(AProgrammer &engine, const QByteArray &image)
{
    QBuffer file;
    file.setData(image);
    return file.open(QIODevice::ReadOnly) && engine.loadBuffer(&file);
}

const QByteArray &bufferImage(AProgrammer &engine)
{
    static QByteArray image;
    image.resize(qsizetype(engine.blockCount()) * BlockSize);
    QList<int> all;
    for (int block = 0; block < engine.blockCount(); ++block)
        all.append(block);
    QBuffer file(&image);
    file.open(QIODevice::ReadWrite);
    if (!engine.saveBuffer(&file, all))
        image.clear();
    return image;
}

QByteArray chipBlock(const NandChip &chip, int block)
{
    QByteArray data(BlockSize, Qt::Uninitialized);
    for (int page = 0; page < NandChip::PagesPerBlock; ++page)
        chip.readPage(block, page, data.data() + page * PageSize, nullptr);
    return data;
}

void writeChipBlock(NandChip &chip, int block, const QByteArray &data)
{
    for (int page = 0; page < NandChip::PagesPerBlock; ++page)
        chip.programPage(block, page, data.constData() + page * PageSize, nullptr, 0);
}

void sendPollTick(AProgrammer &engine)
{
    const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(&engine);
    QCOMPARE(timers.size(), 1);
    QTimerEvent event(timers.first().timerId);
    QCoreApplication::sendEvent(&engine, &event);
}

// Bit by bit, without a table: the reflected polynomial 0xEDB88320.
quint32 slowCrc32(QByteArrayView data)
{
    quint32 crc = 0xFFFFFFFF;
    for (const char byte : data) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

QStringList digestLines(const QByteArray &data)
{
    const QString crc = QString::number(slowCrc32(data), 16).rightJustified(8, QLatin1Char('0'));
    return {QStringLiteral("info: CRC32: <b>%1</b>").arg(crc.toUpper()),
            QStringLiteral("info: MD5: <b>%1</b>")
                .arg(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex().toUpper()),
            QStringLiteral("info: SHA1: <b>%1</b>")
                .arg(QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex().toUpper()),
            QStringLiteral("info: SHA256: <b>%1</b>")
                .arg(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex().toUpper())};
}
