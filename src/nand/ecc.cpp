#include "nand/ecc.h"

#include <QtAlgorithms>
#include <QtEndian>

#include <array>

// How a subpage code is computed a machine word at a time.
//
// Every code bit is the parity of a set of data bits, and the parity of a set of bytes equals
// the parity of their XOR. So it is enough to XOR whole 64-bit words together and take
// parities at the end:
//  - The subpage is read as 32 words of 8 consecutive byte addresses (address = offset + 1
//    mod 256): word w holds addresses 8w..8w+7, its byte lane i the address 8w+i. Word w starts
//    at offset 8w-1; word 0 takes address 0 from offset 255.
//  - Address bits 0..2 select the byte lane. With X the XOR of all 32 words, the line parity
//    of address bit m (m < 3) is the parity of the lanes of X whose index has bit m set.
//  - Address bits 3..7 are bits 0..4 of the word index. Their line parities are the parities
//    of the XORs of the words whose index has that bit set. Folding the words pairwise five
//    times yields these five XORs (the odd members of each level) and, at the end, X.
//  - The parity over the bytes whose address bit is clear is the total parity of X XOR the
//    one over the bytes whose address bit is set.
//  - Column parities are parities of bit groups of the XOR of all bytes, which is X folded to
//    one byte; a table maps that byte to code bits 18..23.
// The loops have fixed trip counts and are unrolled so that the words stay in registers.
namespace {

constexpr int WordsPerSubpage = EccSubpageSize / 8;

constexpr quint32 byteParity(int value)
{
    quint32 bits = 0;
    for (; value; value >>= 1)
        bits ^= value & 1;
    return bits;
}

// Code bits 18..23 for each value of the XOR of all bytes of a subpage.
constexpr std::array<quint32, 256> makeColumnTable()
{
    constexpr int groups[6] = {0x55, 0xAA, 0x33, 0xCC, 0x0F, 0xF0};
    std::array<quint32, 256> table{};
    for (int value = 0; value < 256; ++value) {
        for (int c = 0; c < 6; ++c)
            table[value] |= byteParity(value & groups[c]) << (18 + c);
    }
    return table;
}

// Bit m of the index moved to bit 2m: interleaves the eight line parities into the code.
constexpr std::array<quint32, 256> makeSpreadTable()
{
    std::array<quint32, 256> table{};
    for (int value = 0; value < 256; ++value) {
        for (int m = 0; m < 8; ++m)
            table[value] |= quint32((value >> m) & 1) << (2 * m);
    }
    return table;
}

constexpr std::array<quint32, 256> ColumnTable = makeColumnTable();
constexpr std::array<quint32, 256> SpreadTable = makeSpreadTable();

// Byte lanes whose index has bit m set, m = 0..2.
constexpr quint64 LaneMasks[3] = {0xFF00FF00FF00FF00ull, 0xFFFF0000FFFF0000ull,
                                  0xFFFFFFFF00000000ull};

inline quint32 parity(quint64 x)
{
    return quint32(__builtin_parityll(x));
}

inline uchar foldToByte(quint64 x)
{
    x ^= x >> 32;
    x ^= x >> 16;
    x ^= x >> 8;
    return uchar(x);
}

// The 8 bytes of addresses 8w..8w+7, byte lane i holding address 8w+i.
inline quint64 addressWord(const uchar *subpage, int w)
{
    if (w == 0)
        return (qFromLittleEndian<quint64>(subpage) << 8) | subpage[EccSubpageSize - 1];
    return qFromLittleEndian<quint64>(subpage + 8 * w - 1);
}

quint32 subpageCode(const uchar *subpage)
{
    quint64 words[WordsPerSubpage];
#pragma GCC unroll 32
    for (int w = 0; w < WordsPerSubpage; ++w)
        words[w] = addressWord(subpage, w);

    // wordIndexParity[b]: XOR of the words whose index has bit b set.
    quint64 wordIndexParity[5];
#pragma GCC unroll 5
    for (int b = 0; b < 5; ++b) {
        quint64 odd = 0;
#pragma GCC unroll 16
        for (int i = 0; i < WordsPerSubpage >> (b + 1); ++i) {
            odd ^= words[2 * i + 1];
            words[i] = words[2 * i] ^ words[2 * i + 1];
        }
        wordIndexParity[b] = odd;
    }
    const quint64 all = words[0];

    quint32 set = 0; // bit m: parity of the bytes whose address has bit m set
    for (int m = 0; m < 3; ++m)
        set |= parity(all & LaneMasks[m]) << m;
    for (int b = 0; b < 5; ++b)
        set |= parity(wordIndexParity[b]) << (3 + b);
    const quint32 clear = set ^ (parity(all) ? 0xFF : 0x00);
    return (SpreadTable[set] << 1) | SpreadTable[clear] | ColumnTable[foldToByte(all)];
}

quint32 storedCode(const uchar *bytes)
{
    return bytes[0] | (quint32(bytes[1]) << 8) | (quint32(bytes[2]) << 16);
}

} // namespace

void calcPageEcc(const uchar *page, uchar code[EccPageCodeSize])
{
    for (int k = 0; k < EccSubpageCount; ++k) {
        const quint32 c = subpageCode(page + k * EccSubpageSize);
        uchar *out = code + k * EccSubpageCodeSize;
        out[0] = uchar(c);
        out[1] = uchar(c >> 8);
        out[2] = uchar(c >> 16);
    }
}

QByteArray calcPageEcc(const QByteArray &page)
{
    if (page.size() != EccPageSize)
        return QByteArray();
    QByteArray code(EccPageCodeSize, Qt::Uninitialized);
    calcPageEcc(reinterpret_cast<const uchar *>(page.constData()),
                reinterpret_cast<uchar *>(code.data()));
    return code;
}

void fillSpareRecord(const uchar *page, uchar spare[EccSpareRecordSize])
{
    spare[0] = 0xFF;
    spare[1] = 0x00;
    calcPageEcc(page, spare + 2);
}

EccOutcomes correctPageEcc(uchar *page, const uchar *spare)
{
    EccOutcomes outcomes;
    if (!spareHasEcc(spare))
        return outcomes;
    uchar computed[EccPageCodeSize];
    calcPageEcc(page, computed);
    for (int k = 0; k < EccSubpageCount; ++k) {
        uchar *subpage = page + k * EccSubpageSize;
        const quint32 syndrome = storedCode(spare + 2 + k * EccSubpageCodeSize) ^
                                 storedCode(computed + k * EccSubpageCodeSize);
        EccOutcome outcome;
        outcome.subpage = k;
        switch (syndrome ? qPopulationCount(syndrome) : 0) {
        case 0:
            outcome.kind = EccOutcome::Clean;
            break;
        case 1:
            outcome.kind = EccOutcome::DamagedCode;
            break;
        case 11: {
            // The odd line parities spell the address of the wrong byte, the odd column
            // parities (bits 19, 21, 23) the number of the wrong bit.
            int address = 0;
            for (int m = 0; m < 8; ++m)
                address |= ((syndrome >> (2 * m + 1)) & 1) << m;
            const int bit =
                ((syndrome >> 19) & 1) | ((syndrome >> 20) & 2) | ((syndrome >> 21) & 4);
            const int offset = (address + EccSubpageSize - 1) % EccSubpageSize;
            subpage[offset] ^= uchar(1 << bit);
            outcome.kind = EccOutcome::Corrected;
            outcome.offset = k * EccSubpageSize + offset;
            outcome.bit = bit;
            break;
        }
        default:
            outcome.kind = EccOutcome::Uncorrectable;
            outcomes.append(outcome);
            return outcomes;
        }
        outcomes.append(outcome);
    }
    return outcomes;
}
