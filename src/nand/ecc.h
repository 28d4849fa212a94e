#pragma once

#include "protocol/geometry.h"

#include <QByteArray>
#include <QVarLengthArray>
#include <QtGlobal>

// Host-side error-correcting code of page data: a Hamming code over each 256-byte subpage of a
// 2048-byte page. It corrects one flipped data bit per subpage, recognises one flipped bit in the
// stored code and detects other damage without correcting it.

constexpr int EccPageSize = Geometry::PageSize;
constexpr int EccSubpageSize = 256;
constexpr int EccSubpageCount = EccPageSize / EccSubpageSize;
constexpr int EccSubpageCodeSize = 3;
constexpr int EccPageCodeSize = EccSubpageCount * EccSubpageCodeSize; // 24
// The spare record that travels with each page: 0xFF, the mark 0x00, then the page code.
constexpr int EccSpareRecordSize = 2 + EccPageCodeSize; // 26

// What the check of one subpage found.
struct EccOutcome
{
    enum Kind
    {
        Clean,         // code and data agree
        DamagedCode,   // one bit of the stored code is wrong; the data is left as it is
        Corrected,     // one data bit was wrong and has been flipped back
        Uncorrectable, // more damage than the code can repair; checking stops here
    };
    Kind kind = Clean;
    int subpage = 0;
    int offset = 0; // Corrected: byte offset within the page
    int bit = 0;    // Corrected: bit number 0..7
};

// One outcome per subpage examined, in subpage order.
using EccOutcomes = QVarLengthArray<EccOutcome, EccSubpageCount>;

// Computes the 24-byte code of the 2048 bytes at page: the 3-byte code of each subpage in order,
// least significant byte first.
void calcPageEcc(const uchar *page, uchar code[EccPageCodeSize]);
// The same for a byte array; returns an empty array when page is not exactly one page.
QByteArray calcPageEcc(const QByteArray &page);

// Writes the spare record of the page: 0xFF, 0x00 and its 24-byte code.
void fillSpareRecord(const uchar *page, uchar spare[EccSpareRecordSize]);

// True when the spare record carries a code (it begins with 0xFF 0x00).
inline bool spareHasEcc(const uchar *spare)
{
    return spare[0] == 0xFF && spare[1] == 0x00;
}

// Tests the 2048 bytes at page against the 26-byte spare record and corrects a single flipped
// data bit per subpage in place. Stops after the first uncorrectable subpage; corrections made
// to earlier subpages stay. A page whose spare record carries no code (erased, or programmed
// without ECC) is not tested and yields no outcome.
EccOutcomes correctPageEcc(uchar *page, const uchar *spare);
