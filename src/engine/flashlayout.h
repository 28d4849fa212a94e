#pragma once

#include <QCoreApplication>
#include <QList>
#include <QString>

// Partition layouts of the chip, in two notations.
//
// A layout file holds one partition a line; "#" starts a comment, blank lines are ignored, and
// fields are separated by blanks:
//
//   NAME FIRST-LAST [FLAG...]      blocks FIRST to LAST, both included ("0...1023" as well)
//   NAME OFFSET SIZE [FLAG...]     SIZE bytes from byte OFFSET; SIZE "-" runs to the chip's end
//
// The field after the name is a block range when it holds "-" or "..." (block numbers are
// decimal), and a byte offset followed by the size otherwise. Byte values are decimal (leading
// zeros too) or "0x" hexadecimal, with an optional suffix k, m or g in either case, optionally
// followed by "iB", each a power of 1024: 0x20000, 128k, 128K and 128KiB are equal. The one
// flag is "ro" (read-only).
//
// The Linux notation is one "mtdparts=<mtd-id>:<partdef>[,<partdef>...]" text with
// <partdef> = <size>[@<offset>][(<name>)][ro][lk]: sizes and offsets as above, size "-" for the
// rest of the chip, a partition without an offset right after the previous one (the first at
// 0). The mtd-id is the text before the last ":" ahead of the first "(", and is not kept; "lk"
// is accepted and dropped. An unnamed partition is called "Partition_%03d" of its index from 0,
// as Linux calls it. Only one device is accepted: a text holding ";" is refused.
//
// Either way every size and offset is a whole number of blocks, every partition lies inside the
// chip, is not empty and overlaps no other one, and names are unique, not empty, and hold only
// printable characters up to U+FFFF other than blanks and ( ) , ; # ". Partitions keep the order
// they are given in; blocks outside every partition belong to none. Texts are untrusted: the work
// is linear in their length (with at most Geometry::BlockCount partitions compared pairwise), and
// numbers of any length neither overflow nor wrap.
struct Partition
{
    QString name;
    int firstBlock = 0;
    int lastBlock = 0;
    bool readOnly = false;

    int blockCount() const { return lastBlock - firstBlock + 1; }
};

class FlashLayout
{
public:
    // Parses `text`: a "mtdparts=" text (blanks around it allowed; so a layout file may hold one)
    // or the contents of a layout file. False with `*error` naming the line or the mtdparts item at
    // fault, and `*layout` unchanged.
    static bool parse(const QString &text, FlashLayout *layout, QString *error);
    // Parses `source` when it starts with "mtdparts=", or else reads the layout file at that path
    // (at most 1 MiB of UTF-8); errors about the file start with its path.
    static bool load(const QString &source, FlashLayout *layout, QString *error);

    const QList<Partition> &partitions() const { return m_partitions; }
    bool isEmpty() const { return m_partitions.isEmpty(); }
    // The partition called `name` (case counts), or nullptr.
    const Partition *find(const QString &name) const;
    // The partition holding block `block`, or nullptr.
    const Partition *partitionOf(int block) const;
    // The layout as "mtdparts=nand:256k(u-boot)ro,128k(env),...", for the settings store: sizes
    // in "m" or "k", an offset only where a partition does not follow the previous one, "-" for
    // a last partition that ends at the chip's end. Parsing it gives the same layout, unless the
    // layout is empty.
    QString toMtdparts() const;

    Q_DECLARE_TR_FUNCTIONS(FlashLayout)

private:
    QList<Partition> m_partitions;
};
