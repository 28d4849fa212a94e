#include "sim/simconfig.h"

#include "sim/nandchip.h"

#include <QRegularExpression>
#include <QSet>
#include <optional>

namespace {

constexpr int MaxProgrammers = 16;
constexpr int MaxIdBytes = 8;
constexpr int BlockDataSize = NandChip::PageSize * NandChip::PagesPerBlock;
constexpr int MaxNumberDigits = 12;

// The links by name: the USB packet size and the throughput of an FTDI bridge at high and at
// full speed, and the instant link without either.
struct LinkShape
{
    const char *name;
    SimConfig::Link link;
    int packetSize;
    qint64 rate;
};

constexpr LinkShape linkShapes[] = {
    {"high", SimConfig::Link::HighSpeed, 512, 8000000},
    {"full", SimConfig::Link::FullSpeed, 64, 1000000},
    {"instant", SimConfig::Link::Instant, 0, 0},
};

const LinkShape &shapeOf(SimConfig::Link link)
{
    for (const LinkShape &shape : linkShapes) {
        if (shape.link == link)
            return shape;
    }
    return linkShapes[0];
}

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// A number from 0 to `max`, in decimal or, with a 0x prefix, in hexadecimal. Signs, spaces
// and trailing garbage are refused rather than read as far as they go.
std::optional<qint64> number(const QString &text, qint64 max)
{
    const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    const QString digits = hex ? text.mid(2) : text;
    if (digits.isEmpty() || digits.size() > MaxNumberDigits)
        return std::nullopt;
    for (const QChar c : digits) {
        if (hex ? !isHexDigit(c) : (c < u'0' || c > u'9'))
            return std::nullopt;
    }
    const qint64 value = digits.toLongLong(nullptr, hex ? 16 : 10);
    if (value > max)
        return std::nullopt;
    return value;
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// Each parser stores its value and returns an empty text, or returns what is wrong with it.
using ValueParser = QString (*)(SimConfig &config, const QString &value);

// Stores a number from 0 to `max` in `field`, or returns `expected`.
template <typename Field>
QString storeNumber(Field *field, const QString &value, qint64 max, const QString &expected)
{
    const std::optional<qint64> parsed = number(value, max);
    if (!parsed)
        return expected;
    *field = Field(*parsed);
    return {};
}

QString parseProgrammers(SimConfig &config, const QString &value)
{
    return storeNumber(
        &config.programmers, value, MaxProgrammers,
        QStringLiteral("expected a number of programmers from 0 to %1").arg(MaxProgrammers));
}

QString parseFirmware(SimConfig &config, const QString &value)
{
    const QStringList parts = value.split(QLatin1Char('.'));
    const std::optional<qint64> major = parts.size() == 2 ? number(parts[0], 255) : std::nullopt;
    const std::optional<qint64> minor = parts.size() == 2 ? number(parts[1], 255) : std::nullopt;
    if (!major || !minor)
        return QStringLiteral("expected a version major.minor, each from 0 to 255");
    config.firmwareMajor = int(*major);
    config.firmwareMinor = int(*minor);
    return {};
}

QString parseBootLoader(SimConfig &config, const QString &value)
{
    const std::optional<qint64> flag = number(value, 1);
    if (!flag || value.size() != 1)
        return QStringLiteral("expected 0 or 1");
    config.bootLoader = *flag == 1;
    return {};
}

QString parseChip(SimConfig &config, const QString &value)
{
    if (value.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0) {
        config.chipId.clear();
        return {};
    }
    for (const QChar c : value) {
        if (!isHexDigit(c))
            return QStringLiteral("expected ID bytes in hexadecimal (such as ECF1009540) or none");
    }
    if (value.size() % 2 != 0)
        return QStringLiteral("odd number of hex digits: each ID byte takes two");
    if (value.size() > 2 * MaxIdBytes)
        return QStringLiteral("more than %1 ID bytes").arg(MaxIdBytes);
    config.chipId = QByteArray::fromHex(value.toLatin1());
    return {};
}

std::optional<int> blockNumber(const QString &text)
{
    const std::optional<qint64> block = number(text, NandChip::BlockCount - 1);
    return block ? std::optional<int>(int(*block)) : std::nullopt;
}

QString parseBlocks(QList<int> *blocks, const QString &value)
{
    for (const QString &item : value.split(QLatin1Char(','))) {
        const std::optional<int> block = blockNumber(item.trimmed());
        if (!block) {
            return QStringLiteral("%1 is not a block number from 0 to %2")
                .arg(quoted(item), QString::number(NandChip::BlockCount - 1));
        }
        blocks->append(*block);
    }
    return {};
}

QString parseBad(SimConfig &config, const QString &value)
{
    return parseBlocks(&config.badBlocks, value);
}

QString parseEraseFail(SimConfig &config, const QString &value)
{
    return parseBlocks(&config.eraseFail, value);
}

QString parseFlips(SimConfig &config, const QString &value)
{
    for (const QString &item : value.split(QLatin1Char(','))) {
        const QStringList parts = item.trimmed().split(QLatin1Char(':'));
        if (parts.size() != 3)
            return QStringLiteral("%1 is not block:offset:bit").arg(quoted(item));
        const std::optional<int> block = blockNumber(parts[0]);
        if (!block) {
            return QStringLiteral("block %1 is not a block number from 0 to %2")
                .arg(quoted(parts[0]), QString::number(NandChip::BlockCount - 1));
        }
        const std::optional<qint64> offset = number(parts[1], BlockDataSize - 1);
        if (!offset) {
            return QStringLiteral("offset %1 is not within the block's data (0 to %2)")
                .arg(quoted(parts[1]), QString::number(BlockDataSize - 1));
        }
        const std::optional<qint64> bit = number(parts[2], 7);
        if (!bit)
            return QStringLiteral("bit %1 is not a bit number from 0 to 7").arg(quoted(parts[2]));
        config.flips.append({*block, int(*offset), int(*bit)});
    }
    return {};
}

QString parseFlipRate(SimConfig &config, const QString &value)
{
    // Plain decimal or scientific notation, such as 0.0001 or 1e-6; nothing else.
    static const QRegularExpression format(
        QStringLiteral("^(\\d+(\\.\\d*)?|\\.\\d+)([eE][-+]?\\d{1,3})?$"));
    bool ok = false;
    const double rate = format.match(value).hasMatch() ? value.toDouble(&ok) : 0.0;
    if (!ok || rate > 1.0)
        return QStringLiteral("expected a probability per bit from 0 to 1 (such as 1e-6)");
    config.flipRate = rate;
    return {};
}

QString parseSeed(SimConfig &config, const QString &value)
{
    return storeNumber(&config.seed, value, std::numeric_limits<qint64>::max(),
                       QStringLiteral("expected a number"));
}

QString parseProgramFails(SimConfig &config, const QString &value)
{
    for (const QString &item : value.split(QLatin1Char(','))) {
        const QStringList parts = item.trimmed().split(QLatin1Char(':'));
        const std::optional<int> block = parts.size() <= 2 ? blockNumber(parts[0]) : std::nullopt;
        const std::optional<qint64> page =
            parts.size() == 2 ? number(parts[1], NandChip::PagesPerBlock - 1) : qint64(-1);
        if (!block || !page) {
            return QStringLiteral("%1 is not block or block:page (blocks 0 to %2, pages 0 to %3)")
                .arg(quoted(item), QString::number(NandChip::BlockCount - 1),
                     QString::number(NandChip::PagesPerBlock - 1));
        }
        config.programFails.append({*block, int(*page)});
    }
    return {};
}

QString parseWear(SimConfig &config, const QString &value)
{
    return storeNumber(&config.wear, value, std::numeric_limits<int>::max(),
                       QStringLiteral("expected the number of erases a block survives"));
}

QString parseLink(SimConfig &config, const QString &value)
{
    for (const LinkShape &shape : linkShapes) {
        if (value == QLatin1String(shape.name)) {
            config.link = shape.link;
            return {};
        }
    }
    return QStringLiteral("expected high, full or instant");
}

QString parseNandTiming(SimConfig &config, const QString &value)
{
    constexpr qint64 MaxMicroseconds = 1000000;
    const QStringList parts = value.split(QLatin1Char(':'));
    std::optional<qint64> times[3];
    for (int i = 0; i < 3 && parts.size() == 3; ++i)
        times[i] = number(parts[i], MaxMicroseconds);
    if (!times[0] || !times[1] || !times[2]) {
        return QStringLiteral("expected read:program:erase in microseconds, each up to %1")
            .arg(MaxMicroseconds);
    }
    config.pageReadUs = int(*times[0]);
    config.pageProgramUs = int(*times[1]);
    config.blockEraseUs = int(*times[2]);
    return {};
}

QString parseStorage(SimConfig &config, const QString &value)
{
    config.storage = value;
    return {};
}

QString parseRate(SimConfig &config, const QString &value)
{
    return storeNumber(&config.rate, value, std::numeric_limits<qint64>::max(),
                       QStringLiteral("expected bytes per second (0: unlimited)"));
}

QString parseUnplug(SimConfig &config, const QString &value)
{
    const std::optional<qint64> command = number(value, std::numeric_limits<int>::max());
    if (!command || *command == 0)
        return QStringLiteral("expected the number (from 1) of the command frame that unplugs");
    config.unplugAtCommand = int(*command);
    return {};
}

struct Key
{
    const char *name;
    ValueParser parse;
};

constexpr Key keys[] = {
    {"programmers", parseProgrammers},
    {"firmware", parseFirmware},
    {"bootloader", parseBootLoader},
    {"chip", parseChip},
    {"bad", parseBad},
    {"erase-fail", parseEraseFail},
    {"flip", parseFlips},
    {"storage", parseStorage},
    {"rate", parseRate},
    {"link", parseLink},
    {"nand-timing", parseNandTiming},
    {"flip-rate", parseFlipRate},
    {"seed", parseSeed},
    {"program-fail", parseProgramFails},
    {"wear", parseWear},
    {"unplug", parseUnplug},
};

const Key *findKey(const QString &name)
{
    for (const Key &key : keys) {
        if (name == QLatin1String(key.name))
            return &key;
    }
    return nullptr;
}

} // namespace

int SimConfig::packetSize() const
{
    return shapeOf(link).packetSize;
}

qint64 SimConfig::linkRate() const
{
    return rate ? *rate : shapeOf(link).rate;
}

SimConfig SimConfig::parse(const QByteArray &text)
{
    SimConfig config;
    const QString all = QString::fromUtf8(text).trimmed();
    if (all.isEmpty() || all == QLatin1String("1"))
        return config;
    QSet<QString> seen;
    for (const QString &rawItem : all.split(QLatin1Char(';'))) {
        const QString item = rawItem.trimmed();
        if (item.isEmpty())
            continue;
        const int equals = item.indexOf(QLatin1Char('='));
        if (equals < 0) {
            config.error = QStringLiteral("item %1 is not key=value").arg(quoted(item));
            return config;
        }
        const QString name = item.left(equals).trimmed();
        const QString value = item.mid(equals + 1).trimmed();
        const QString keyName = name.section(QLatin1Char('@'), 0, 0);
        const Key *key = findKey(keyName);
        if (!key) {
            config.error =
                QStringLiteral("unknown key %1 (in %2)").arg(quoted(keyName), quoted(item));
            return config;
        }
        if (seen.contains(name)) {
            config.error = QStringLiteral("key %1 is given twice").arg(quoted(name));
            return config;
        }
        seen.insert(name);
        const bool own = name.contains(QLatin1Char('@'));
        const qint64 programmer =
            own ? number(name.section(QLatin1Char('@'), 1), MaxProgrammers).value_or(0) : 0;
        if (own && (programmer == 0 || keyName == QLatin1String("programmers"))) {
            config.error = QStringLiteral("%1 is not key@N with a key other "
                                          "than \"programmers\" and N from 1 to %2")
                               .arg(quoted(name))
                               .arg(MaxProgrammers);
            return config;
        }
        // One programmer's value is checked on a scratch copy, and applied by forProgrammer().
        SimConfig scratch;
        const QString problem = value.isEmpty() ? QStringLiteral("the value is empty")
                                                : key->parse(own ? scratch : config, value);
        if (!problem.isEmpty()) {
            config.error = QStringLiteral("invalid value %1 for key %2: %3")
                               .arg(quoted(value), quoted(name), problem);
            return config;
        }
        if (own)
            config.overrides.append({int(programmer), keyName, value});
    }
    for (const Override &item : std::as_const(config.overrides)) {
        if (item.programmer > config.programmers) {
            config.error =
                QStringLiteral("%1 names programmer %2, but programmers is %3")
                    .arg(quoted(QStringLiteral("%1@%2").arg(item.key).arg(item.programmer)))
                    .arg(item.programmer)
                    .arg(config.programmers);
            return config;
        }
    }
    return config;
}

SimConfig SimConfig::forProgrammer(int number) const
{
    SimConfig own = *this;
    own.overrides.clear();
    if (number != 1)
        own.storage.clear();
    for (const Override &item : overrides) {
        if (item.programmer == number)
            findKey(item.key)->parse(own, item.value);
    }
    return own;
}
