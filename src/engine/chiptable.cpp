#include "engine/chiptable.h"

namespace {

// The parts, each by the ID its datasheet gives. Where the ID bytes were read from public NAND
// tables of other software (SoC boot loaders, programmer databases, the Linux NAND ID list) rather
// than from the document itself, the source names those tables too.
//
// Valid blocks: the NAND01G-B2B document was read for its minimum (1004 of 1024). The other rows
// carry 1004 as well, the figure these 1 Gbit parts commonly give; check each against its
// document before relying on the bad-block limit it sets.
constexpr ChipModel ChipModels[] = {
    // Samsung
    {"ECF1009540", "Samsung K9F1G08U0x", 3300, 1004,
     "Samsung K9F1G08U0B/U0C data sheets; ID per Telechips and FlashcatUSB NAND tables"},
    {"ECF1801540", "Samsung K9F1G08U0A", 3300, 1004,
     "Samsung K9F1G08X0A data sheet; ID per Telechips and RT-Thread NAND tables"},
    {"ECF1001540", "Samsung K9F1G08U0D", 3300, 1004,
     "Samsung K9F1G08U0D data sheet rev. 1.1 (Nov. 2010), p. 36; ID per JuliProg and "
     "FlashcatUSB"},
    {"ECF1009541", "Samsung K9F1G08U0E", 3300, 1004,
     "Samsung K9F1G08U0E data sheet; ID per FlashcatUSB NAND table"},
    // Hynix
    {"ADF18015AD", "Hynix HY27UF081G2M", 3300, 1004, "Hynix HY27UF(08/16)1G2M data sheet"},
    {"ADF1801D", "Hynix HY27UF081G2A", 3300, 1004,
     "Hynix HY27UF(08/16)1G2A data sheet; ID per memplug, Realtek and Allwinner NAND "
     "tables"},
    {"ADC1805D", "Hynix HY27UF161G2A", 3300, 1004,
     "Hynix HY27UF(08/16)1G2A data sheet; ID per memplug NAND table"},
    {"ADF1001D", "Hynix H27U1G8F2B", 3300, 1004,
     "Hynix H27U1G8F2B data sheet; ID per memplug, Realtek and Allwinner NAND tables"},
    // Micron
    {"2CF1809502", "Micron MT29F1G08ABADA", 3300, 1004,
     "Micron MT29F1G08ABADAWP/ABBDA/MT29F1G16ABBDA data sheet; ID per Broadcom iProc NAND "
     "table"},
    {"2CA1801502", "Micron MT29F1G08ABBDA", 1800, 1004,
     "Micron MT29F1G08ABADAWP/ABBDA/MT29F1G16ABBDA data sheet; ID per Broadcom iProc NAND "
     "table"},
    {"2CB1805502", "Micron MT29F1G16ABBDA", 1800, 1004,
     "Micron MT29F1G08ABADAWP/ABBDA/MT29F1G16ABBDA data sheet; ID per Broadcom iProc NAND "
     "table"},
    {"2CF1809504", "Micron MT29F1G08ABAEA", 3300, 1004,
     "Micron MT29F1G08ABAEAWP/ABBEA data sheet; ID per FlashcatUSB and an SoC NAND "
     "table"},
    {"2CA1801504", "Micron MT29F1G08ABBEA", 1800, 1004,
     "Micron MT29F1G08ABAEAWP/ABBEA data sheet; ID per FlashcatUSB NAND table"},
    // Toshiba (Kioxia)
    {"98D1901576", "Toshiba TC58NVG0S3E", 3300, 1004,
     "Toshiba TC58NVG0S3ETA00 data sheet; ID cross-checked with Linux nand_ids"},
    {"98F19095", "Toshiba TC58NVG0S3C", 3300, 1004,
     "Toshiba TC58NVG0S3C data sheet; ID per Realtek NAND table"},
    // Spansion (Cypress)
    {"01F1001D", "Spansion S34ML01G1", 3300, 1004,
     "Spansion S34ML01G1_04G1 data sheet rev. 16 (Aug. 2013); ID per memplug, Realtek and "
     "FlashcatUSB tables"},
    {"01F1801D", "Spansion S34ML01G2", 3300, 1004,
     "Spansion S34ML01G2 data sheet; ID per Allwinner, Realtek and FlashcatUSB NAND "
     "tables"},
    // Macronix
    {"C2F1801D", "Macronix MX30LF1G08AA", 3300, 1004,
     "Macronix MX30LF1G08AA data sheet; ID per Telechips and Nuvoton NAND code"},
    {"C2F1809502", "Macronix MX30LF1G18AC", 3300, 1004,
     "Macronix MX30LF1G18AC data sheet PM2133 rev. 1.2 (May 2016), p. 32; ID per JuliProg and "
     "FlashcatUSB"},
    {"C2A1801502", "Macronix MX30UF1G18AC", 1800, 1004,
     "Macronix MX30UF1G18AC data sheet; ID per FlashcatUSB NAND table"},
    // Winbond
    {"EFF18095", "Winbond W29N01GV", 3300, 1004,
     "Winbond W29N01GV data sheet rev. D (June 2014); ID per Realtek, Allwinner and FlashcatUSB "
     "tables"},
    {"EFF10095", "Winbond W29N01HV", 3300, 1004,
     "Winbond W29N01HV data sheet rev. C (Jan. 2018); ID per Realtek and Allwinner NAND "
     "tables"},
    // ESMT; its earlier part, made as Zentel's too, reads 0x92 as maker code.
    {"C8D1809540", "ESMT F59L1G81MA", 3300, 1004,
     "ESMT F59L1G81MA data sheet; ID per Allwinner and Realtek NAND tables"},
    {"C8D1809542", "ESMT F59L1G81LA", 3300, 1004,
     "ESMT F59L1G81LA data sheet; ID per a Realtek NAND table"},
    {"92F1809540", "ESMT F59L1G81A / Zentel A5U1GA31ATS", 3300, 1004,
     "ESMT F59L1G81A data sheet; ID per Realtek NAND tables and FlashcatUSB (Zentel)"},
    // ST / Numonyx
    {"20F1801D", "Numonyx NAND01GW3B2B", 3300, 1004,
     "Numonyx NAND01G-B2B, NAND02G-B2C data sheet, tables 4 and 14; ID per two SoC NAND tables"},
    {"20F1001D", "Numonyx NAND01GW3B2C", 3300, 1004,
     "Numonyx NAND01G-B2C data sheet; ID per Realtek and one more SoC NAND table"},
    {"20A10015", "Numonyx NAND01GR3B2C", 1800, 1004,
     "Numonyx NAND01G-B2C data sheet; ID per JuliProg chip file"},
};

struct Maker
{
    quint8 code;
    const char *name;
};

// First ID bytes of parallel NAND as the makers' documents and the Linux NAND driver give them.
// Most are the makers' JEDEC codes; Samsung (0xEC) and Winbond (0xEF) use codes of their own.
// 0xC8 is read from ESMT, GigaDevice and ISSI parts alike, 0x92 from Eon's and ESMT's earlier ones.
constexpr Maker Makers[] = {
    {0x01, "Spansion/Cypress"},
    {0x04, "Fujitsu"},
    {0x07, "Renesas"},
    {0x20, "ST/Numonyx"},
    {0x2C, "Micron"},
    {0x45, "SanDisk"},
    {0x89, "Intel"},
    {0x8F, "National"},
    {0x92, "Eon/ESMT"},
    {0x98, "Toshiba/Kioxia"},
    {0x9B, "ATO"},
    {0x9D, "ISSI"},
    {0xAD, "Hynix"},
    {0xC2, "Macronix"},
    {0xC8, "ESMT/GigaDevice/ISSI"},
    {0xEC, "Samsung"},
    {0xEF, "Winbond"},
};

constexpr int length(const char *text)
{
    int n = 0;
    while (text[n] != '\0')
        ++n;
    return n;
}

constexpr bool isUpperHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// Maker and device code at least, whole bytes, upper-case hex digits.
constexpr bool isWellFormedId(const char *hex)
{
    const int n = length(hex);
    if (n < 4 || n % 2 != 0)
        return false;
    for (int i = 0; i < n; ++i) {
        if (!isUpperHex(hex[i]))
            return false;
    }
    return true;
}

constexpr bool sameText(const char *a, const char *b)
{
    int i = 0;
    while (a[i] != '\0' && a[i] == b[i])
        ++i;
    return a[i] == b[i];
}

constexpr bool isKnownMaker(const char *hex)
{
    const auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
    const int code = digit(hex[0]) * 16 + digit(hex[1]);
    for (const Maker &maker : Makers) {
        if (maker.code == code)
            return true;
    }
    return false;
}

// Two rows with one ID would leave the second never found; a part from an unnamed maker, a
// voltage other than the two, or more valid blocks than the part has, is a typing slip.
constexpr bool isSoundTable()
{
    constexpr int count = int(sizeof ChipModels / sizeof ChipModels[0]);
    for (int i = 0; i < count; ++i) {
        const ChipModel &model = ChipModels[i];
        if (!isWellFormedId(model.idHex) || !isKnownMaker(model.idHex))
            return false;
        if (model.millivolts != 3300 && model.millivolts != 1800)
            return false;
        if (model.minValidBlocks < 1 || model.minValidBlocks > 1024)
            return false;
        for (int j = i + 1; j < count; ++j) {
            if (sameText(model.idHex, ChipModels[j].idHex))
                return false;
        }
    }
    return true;
}

static_assert(isSoundTable(), "chip table has a malformed or repeated row");

} // namespace

const ChipModel *findChipModel(const QByteArray &id)
{
    const ChipModel *best = nullptr;
    int bestLength = 0;
    for (const ChipModel &model : ChipModels) {
        const QByteArray bytes = QByteArray::fromHex(model.idHex);
        if (bytes.size() > bestLength && id.startsWith(bytes)) {
            best = &model;
            bestLength = int(bytes.size());
        }
    }
    return best;
}

QString makerName(quint8 code)
{
    for (const Maker &maker : Makers) {
        if (maker.code == code)
            return QString::fromLatin1(maker.name);
    }
    return QString();
}
