#include "engine/flashlayout.h"

#include "engine/blockrange.h"
#include "protocol/geometry.h"

#include <QFile>
#include <QHash>
#include <QStringList>
#include <algorithm>

namespace {

using Geometry::BlockCount;
using Geometry::BlockSize;
using Geometry::ImageSize;

const QLatin1String MtdpartsPrefix("mtdparts=");
constexpr qint64 MaxFileSize = 1 << 20;
constexpr qint64 MiB = 1 << 20;
// Numbers read larger than the chip become this one: past the chip's end whatever is added to it,
// and far from the end of qint64.
constexpr qint64 Saturated = ImageSize + 1;

int digitValue(QChar c, int base)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (base == 16 && u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (base == 16 && u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

// Reads a number at `*pos` of `text` and moves `*pos` past it: decimal, or with `bytes` also "0x"
// hexadecimal and a suffix k, m or g (either case, "iB" may follow). False when no digit is there.
bool readNumber(QStringView text, qsizetype *pos, bool bytes, qint64 *value)
{
    qsizetype at = *pos;
    int base = 10;
    if (bytes && text.mid(at, 2).compare(u"0x", Qt::CaseInsensitive) == 0) {
        base = 16;
        at += 2;
    }
    const qsizetype digits = at;
    qint64 number = 0;
    while (at < text.size() && digitValue(text[at], base) >= 0)
        number = std::min(number * base + digitValue(text[at++], base), Saturated);
    if (at == digits)
        return false;
    const qsizetype unit =
        bytes && at < text.size() ? QStringView(u"kKmMgG").indexOf(text[at]) : -1;
    if (unit >= 0) {
        number = std::min(number << (10 * (unit / 2 + 1)), Saturated);
        at += text.mid(at + 1, 2) == u"iB" ? 3 : 1;
    }
    *pos = at;
    *value = number;
    return true;
}

// A whole field as a number.
bool readField(QStringView field, bool bytes, qint64 *value)
{
    qsizetype pos = 0;
    return readNumber(field, &pos, bytes, value) && pos == field.size();
}

QString chipSize()
{
    return FlashLayout::tr("the chip (%1 MiB)").arg(ImageSize / MiB);
}

// Places `partition` on `offset` (a negative one for "right after the previous partition", at
// `follows`) and `size` bytes (a negative one for the rest of the chip); the texts as written are
// for the messages. The problem, or an empty text when placed.
QString placeBytes(qint64 offset, QString offsetText, qint64 follows, qint64 size,
                   const QString &sizeText, Partition *partition)
{
    if (offset < 0) {
        if (follows >= ImageSize)
            return FlashLayout::tr("no room is left after the previous partition");
        offset = follows;
        offsetText = QStringLiteral("0x%1").arg(offset, 0, 16);
    }
    // Each value against the chip's end before its remainder, as saturated ones are uneven.
    if (offset >= ImageSize)
        return FlashLayout::tr("offset %1 lies outside %2").arg(offsetText, chipSize());
    if (offset % BlockSize != 0)
        return FlashLayout::tr("offset %1 is not a whole number of %2 KiB blocks")
            .arg(offsetText)
            .arg(BlockSize / 1024);
    if (size < 0)
        size = ImageSize - offset;
    if (size == 0)
        return FlashLayout::tr("size %1 is zero").arg(sizeText);
    if (offset + size > ImageSize)
        return FlashLayout::tr("size %1 at offset %2 runs past the end of %3")
            .arg(sizeText, offsetText, chipSize());
    if (size % BlockSize != 0)
        return FlashLayout::tr("size %1 is not a whole number of %2 KiB blocks")
            .arg(sizeText)
            .arg(BlockSize / 1024);
    partition->firstBlock = int(offset / BlockSize);
    partition->lastBlock = int((offset + size) / BlockSize) - 1;
    return QString();
}

// Places `partition` on a block range "FIRST-LAST" or "FIRST...LAST"; as placeBytes.
QString placeBlocks(const QString &field, Partition *partition)
{
    qsizetype split = field.indexOf(QLatin1String("..."));
    const qsizetype width = split < 0 ? 1 : 3;
    if (split < 0)
        split = field.indexOf(QLatin1Char('-'));
    const QString lastText = field.mid(split + width);
    qint64 first = 0;
    qint64 last = 0;
    if (!readField(QStringView(field).left(split), false, &first) ||
        !readField(lastText, false, &last))
        return FlashLayout::tr("\"%1\" is not a block range such as 0-99 or 0...99").arg(field);
    if (first > last)
        return FlashLayout::tr("the block range %1 runs backwards").arg(field);
    if (last >= BlockCount)
        return FlashLayout::tr("block %1 is past the last block %2")
            .arg(lastText)
            .arg(BlockCount - 1);
    partition->firstBlock = int(first);
    partition->lastBlock = int(last);
    return QString();
}

// The partitions read so far, each with the line or item it came from.
struct Builder
{
    QList<Partition> partitions;
    QStringList places;
    QHash<QString, qsizetype> indexOfName;

    qint64 follows() const
    {
        return partitions.isEmpty() ? 0 : qint64(partitions.last().lastBlock + 1) * BlockSize;
    }

    static bool fail(const QString &place, const QString &name, const QString &problem,
                     QString *error)
    {
        *error = QStringLiteral("%1: \"%2\": %3").arg(place, name, problem);
        return false;
    }

    // Adds a placed partition unless its name is wrong or taken, or it overlaps another one.
    // At most BlockCount partitions fit, so the overlap check stays bounded.
    bool add(const QString &place, const Partition &partition, QString *error)
    {
        if (partition.name.isEmpty()) {
            *error = FlashLayout::tr("%1: the partition's name is empty").arg(place);
            return false;
        }
        for (QChar c : partition.name) {
            if (!c.isPrint() || c.isSpace() || QStringView(u"(),;#\"").contains(c))
                return fail(place, partition.name,
                            FlashLayout::tr(
                                "a name holds no blank, control character or any of ( ) , ; # \""),
                            error);
        }
        const auto taken = indexOfName.constFind(partition.name);
        if (taken != indexOfName.cend())
            return fail(place, partition.name,
                        FlashLayout::tr("the name is taken by %1").arg(places[*taken]), error);
        for (qsizetype i = 0; i < partitions.size(); ++i) {
            const Partition &other = partitions[i];
            const BlockRange common(std::max(other.firstBlock, partition.firstBlock),
                                    std::min(other.lastBlock, partition.lastBlock));
            if (common.first <= common.last) {
                *error = FlashLayout::tr("%1: \"%2\" overlaps \"%3\" of %4 at blocks %5")
                             .arg(place, partition.name, other.name, places[i], common.toString());
                return false;
            }
        }
        indexOfName.insert(partition.name, partitions.size());
        partitions.append(partition);
        places.append(place);
        return true;
    }
};

bool parseFile(const QString &text, Builder *builder, QString *error)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QStringList fields =
            lines[i].section(QLatin1Char('#'), 0, 0).simplified().split(QLatin1Char(' '));
        if (fields.first().isEmpty())
            continue;
        const QString place = FlashLayout::tr("line %1").arg(i + 1);
        Partition partition;
        partition.name = fields[0];
        QString problem;
        qsizetype flags = 3;
        if (fields.size() < 2) {
            problem = FlashLayout::tr("blocks or an offset should follow the name");
        } else if (fields[1].contains(QLatin1Char('-')) ||
                   fields[1].contains(QLatin1String("..."))) {
            flags = 2;
            problem = placeBlocks(fields[1], &partition);
        } else if (fields.size() < 3) {
            problem = FlashLayout::tr("a size should follow offset %1").arg(fields[1]);
        } else {
            qint64 offset = 0;
            qint64 size = -1;
            if (!readField(fields[1], true, &offset))
                problem = FlashLayout::tr("\"%1\" is not a byte offset").arg(fields[1]);
            else if (fields[2] != QLatin1String("-") && !readField(fields[2], true, &size))
                problem = FlashLayout::tr("\"%1\" is not a size").arg(fields[2]);
            else
                problem = placeBytes(offset, fields[1], 0, size, fields[2], &partition);
        }
        for (qsizetype flag = flags; problem.isEmpty() && flag < fields.size(); ++flag) {
            if (fields[flag] == QLatin1String("ro"))
                partition.readOnly = true;
            else
                problem = FlashLayout::tr("unknown flag \"%1\" (the one flag is \"ro\")")
                              .arg(fields[flag]);
        }
        if (!problem.isEmpty())
            return Builder::fail(place, partition.name, problem, error);
        if (!builder->add(place, partition, error))
            return false;
    }
    return true;
}

// The text from `pos` up to the next comma.
QStringView itemAt(QStringView text, qsizetype pos)
{
    return text.mid(pos).left(text.mid(pos).indexOf(u','));
}

// `text` is what follows "mtdparts=".
bool parseMtdparts(QStringView text, Builder *builder, QString *error)
{
    if (text.contains(u';')) {
        *error = FlashLayout::tr(
            "mtdparts: the text defines more than one device (\";\"): give only the chip's");
        return false;
    }
    const qsizetype colon = text.left(text.indexOf(u'(')).lastIndexOf(u':');
    if (colon < 0) {
        *error = FlashLayout::tr("mtdparts: \"<mtd-id>:\" is missing ahead of the partitions");
        return false;
    }
    qsizetype pos = colon + 1;
    for (int item = 1;; ++item) {
        const QString place = FlashLayout::tr("mtdparts item %1").arg(item);
        const QStringView whole = itemAt(text, pos);
        if (whole.isEmpty()) {
            *error = FlashLayout::tr("%1 is empty").arg(place);
            return false;
        }
        const qsizetype sizeAt = pos;
        qint64 size = -1;
        if (text[pos] == u'-') {
            ++pos;
        } else if (!readNumber(text, &pos, true, &size)) {
            *error = FlashLayout::tr("%1: \"%2\" does not start with a size").arg(place, whole);
            return false;
        }
        const QString sizeText = text.mid(sizeAt, pos - sizeAt).toString();
        qint64 offset = -1;
        QString offsetText;
        if (text.mid(pos, 1) == u"@") {
            const qsizetype offsetAt = ++pos;
            if (!readNumber(text, &pos, true, &offset)) {
                *error = FlashLayout::tr("%1: \"%2\" lacks a number after \"@\"").arg(place, whole);
                return false;
            }
            offsetText = text.mid(offsetAt, pos - offsetAt).toString();
        }
        Partition partition;
        if (text.mid(pos, 1) == u"(") {
            const qsizetype close = text.indexOf(u')', pos);
            if (close < 0) {
                *error =
                    FlashLayout::tr("%1: \"%2\" lacks the \")\" after the name").arg(place, whole);
                return false;
            }
            partition.name = text.mid(pos + 1, close - pos - 1).toString();
            pos = close + 1;
        } else {
            partition.name = QString::asprintf("Partition_%03d", item - 1);
        }
        partition.readOnly = text.mid(pos, 2) == u"ro";
        pos += partition.readOnly ? 2 : 0;
        pos += text.mid(pos, 2) == u"lk" ? 2 : 0;
        const bool last = pos == text.size();
        if (!last && text[pos] != u',')
            return Builder::fail(
                place, partition.name,
                FlashLayout::tr("unexpected \"%1\" after the partition").arg(itemAt(text, pos)),
                error);
        const QString problem =
            placeBytes(offset, offsetText, builder->follows(), size, sizeText, &partition);
        if (!problem.isEmpty())
            return Builder::fail(place, partition.name, problem, error);
        if (!builder->add(place, partition, error))
            return false;
        if (last)
            return true;
        ++pos;
    }
}

QString bytesText(int blocks)
{
    const qint64 bytes = qint64(blocks) * BlockSize;
    return bytes % MiB == 0 ? QStringLiteral("%1m").arg(bytes / MiB)
                            : QStringLiteral("%1k").arg(bytes / 1024);
}

} // namespace

bool FlashLayout::parse(const QString &text, FlashLayout *layout, QString *error)
{
    Builder builder;
    const QString trimmed = text.trimmed();
    if (trimmed.startsWith(MtdpartsPrefix)
            ? !parseMtdparts(QStringView(trimmed).mid(MtdpartsPrefix.size()), &builder, error)
            : !parseFile(text, &builder, error))
        return false;
    if (builder.partitions.isEmpty()) {
        *error = tr("no partitions are given");
        return false;
    }
    layout->m_partitions = builder.partitions;
    return true;
}

bool FlashLayout::load(const QString &source, FlashLayout *layout, QString *error)
{
    if (source.startsWith(MtdpartsPrefix))
        return parse(source, layout, error);
    QFile file(source);
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.read(MaxFileSize + 1);
    QString problem;
    if (file.error() != QFileDevice::NoError)
        problem = tr("cannot be read: %1").arg(file.errorString());
    else if (bytes.size() > MaxFileSize)
        problem = tr("is larger than a layout file can be (%1 MiB)").arg(MaxFileSize / MiB);
    else if (parse(QString::fromUtf8(bytes), layout, &problem))
        return true;
    *error = QStringLiteral("%1: %2").arg(source, problem);
    return false;
}

const Partition *FlashLayout::find(const QString &name) const
{
    for (const Partition &partition : m_partitions) {
        if (partition.name == name)
            return &partition;
    }
    return nullptr;
}

const Partition *FlashLayout::partitionOf(int block) const
{
    for (const Partition &partition : m_partitions) {
        if (block >= partition.firstBlock && block <= partition.lastBlock)
            return &partition;
    }
    return nullptr;
}

QString FlashLayout::toMtdparts() const
{
    QStringList items;
    int follows = 0;
    for (const Partition &partition : m_partitions) {
        const bool rest =
            &partition == &m_partitions.last() && partition.lastBlock == BlockCount - 1;
        QString item = rest ? QStringLiteral("-") : bytesText(partition.blockCount());
        if (partition.firstBlock != follows)
            item += QLatin1Char('@') + bytesText(partition.firstBlock);
        item += QLatin1Char('(') + partition.name + QLatin1Char(')');
        if (partition.readOnly)
            item += QLatin1String("ro");
        items.append(item);
        follows = partition.lastBlock + 1;
    }
    return QLatin1String("mtdparts=nand:") + items.join(QLatin1Char(','));
}
