#include "engine/chipgeometry.h"

#include "protocol/geometry.h"

#include <QCoreApplication>

namespace {

// The device codes of the Linux kernel's generic NAND table, which follow the makers' common
// scheme: density, supply and bus width. Large-page codes take their page and block sizes from
// the fourth ID byte; small-page ones have 512 + 16-byte pages and 16 KiB blocks.
struct DeviceCode
{
    quint8 code;
    int megabits;
    int millivolts;
    int busWidth;
    bool largePage;
};

constexpr DeviceCode DeviceCodes[] = {
    {0x73, 128, 3300, 8, false},   {0x75, 256, 3300, 8, false},   {0x76, 512, 3300, 8, false},
    {0x78, 1024, 1800, 8, false},  {0x79, 1024, 3300, 8, false},  {0x72, 1024, 1800, 16, false},
    {0x74, 1024, 3300, 16, false}, {0xA0, 512, 1800, 8, true},    {0xF0, 512, 3300, 8, true},
    {0xA1, 1024, 1800, 8, true},   {0xF1, 1024, 3300, 8, true},   {0xD1, 1024, 3300, 8, true},
    {0xB1, 1024, 1800, 16, true},  {0xC1, 1024, 3300, 16, true},  {0xAA, 2048, 1800, 8, true},
    {0xDA, 2048, 3300, 8, true},   {0xBA, 2048, 1800, 16, true},  {0xCA, 2048, 3300, 16, true},
    {0xAC, 4096, 1800, 8, true},   {0xDC, 4096, 3300, 8, true},   {0xBC, 4096, 1800, 16, true},
    {0xCC, 4096, 3300, 16, true},  {0xA3, 8192, 1800, 8, true},   {0xD3, 8192, 3300, 8, true},
    {0xB3, 8192, 1800, 16, true},  {0xC3, 8192, 3300, 16, true},  {0xA5, 16384, 1800, 8, true},
    {0xD5, 16384, 3300, 8, true},  {0xB5, 16384, 1800, 16, true}, {0xC5, 16384, 3300, 16, true},
};

QString densityText(int megabits)
{
    return megabits >= 1024 ? QStringLiteral("%1 Gbit").arg(megabits / 1024)
                            : QStringLiteral("%1 Mbit").arg(megabits);
}

} // namespace

ChipGeometry ChipGeometry::fromId(const QByteArray &id)
{
    ChipGeometry geometry;
    if (id.size() < 2)
        return geometry;
    const quint8 code = quint8(id.at(1));
    for (const DeviceCode &device : DeviceCodes) {
        if (device.code != code)
            continue;
        if (device.largePage && id.size() < 4)
            return geometry;
        geometry.megabits = device.megabits;
        geometry.millivolts = device.millivolts;
        geometry.busWidth = device.busWidth;
        if (device.largePage) {
            const quint8 extended = quint8(id.at(3));
            geometry.pageSize = 1024 << (extended & 0x03);
            geometry.spareSize = (8 << ((extended >> 2) & 0x01)) * (geometry.pageSize / 512);
            geometry.blockSize = (64 * 1024) << ((extended >> 4) & 0x03);
            if (extended & 0x40)
                geometry.busWidth = 16;
        } else {
            geometry.pageSize = 512;
            geometry.spareSize = 16;
            geometry.blockSize = 16 * 1024;
        }
        geometry.decoded = true;
        return geometry;
    }
    return geometry;
}

bool ChipGeometry::matchesProgrammer() const
{
    return megabits * qint64(1024 * 1024 / 8) == Geometry::ImageSize && busWidth == 8 &&
           pageSize == Geometry::PageSize && spareSize == Geometry::SpareSize &&
           blockSize == Geometry::BlockSize;
}

QString ChipGeometry::description() const
{
    if (!decoded)
        return QString();
    return QStringLiteral("%1, %2 V, x%3, %4 + %5-byte pages, %6 KiB blocks")
        .arg(densityText(megabits))
        .arg(millivolts / 1000.0, 0, 'f', 1)
        .arg(busWidth)
        .arg(pageSize)
        .arg(spareSize)
        .arg(blockSize / 1024);
}

QString ChipGeometry::mismatch() const
{
    QString text = densityText(megabits);
    if (busWidth != 8)
        text += QStringLiteral(" x%1").arg(busWidth);
    text += QCoreApplication::translate("AProgrammer", " with %1-byte pages").arg(pageSize);
    if (pageSize == Geometry::PageSize && blockSize != Geometry::BlockSize)
        text +=
            QCoreApplication::translate("AProgrammer", " and %1 KiB blocks").arg(blockSize / 1024);
    return text;
}
