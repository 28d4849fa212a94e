#pragma once

#include <QByteArray>
#include <QString>

// One NAND part of the family the programmer handles (1 Gbit, x8 or x16, SLC), as its maker's
// datasheet gives it.
struct ChipModel
{
    // The ID bytes the datasheet gives, in the order read, as upper-case hex ("ECF1001540"), at
    // least maker and device code. A chip whose ID starts with them is this part.
    const char *idHex;
    const char *name;
    // Supply voltage of the part, 3300 or 1800.
    int millivolts;
    // The datasheet's minimum of valid blocks out of the part's blocks, over its life.
    int minValidBlocks;
    // The document the row comes from: maker, title or number, revision.
    const char *source;
};

// The known part whose ID bytes `id` starts with, the longest such row; nullptr when none.
const ChipModel *findChipModel(const QByteArray &id);

// The maker's name for the first ID byte (the maker code; for most makers their JEDEC code),
// as a technician knows it ("Samsung", "Toshiba/Kioxia"); empty when unknown.
QString makerName(quint8 code);
