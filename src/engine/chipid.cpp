#include "engine/chipid.h"

#include <QCoreApplication>

namespace {

struct KnownChip
{
    const char *idHex;
    const char *name;
};

constexpr KnownChip KnownChips[] = {
    {"ECF1009540", "Samsung K9F1G08U0x"},
    {"ADF18015AD", "Hynix HY27UF081G2M"},
};

struct Maker
{
    quint8 code;
    const char *name;
};

constexpr Maker Makers[] = {
    {0xEC, "Samsung"},
    {0xAD, "Hynix"},
};

} // namespace

QString chipName(const QByteArray &id)
{
    for (const KnownChip &chip : KnownChips) {
        if (id == QByteArray::fromHex(chip.idHex))
            return QString::fromLatin1(chip.name);
    }
    for (const Maker &maker : Makers) {
        if (!id.isEmpty() && quint8(id.at(0)) == maker.code) {
            return QCoreApplication::translate("AProgrammer", "Unknown %1 flash device")
                .arg(QLatin1String(maker.name));
        }
    }
    return QCoreApplication::translate("AProgrammer", "Unknown flash device");
}

bool isChipMissing(const QByteArray &id)
{
    return id == QByteArray(5, char(0xFF));
}
