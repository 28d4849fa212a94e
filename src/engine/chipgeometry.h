#pragma once

#include <QByteArray>
#include <QString>

// What a chip's ID bytes say about its organisation: the device code (second byte) gives the
// density, the supply voltage and the bus width; for large-page chips the fourth byte gives the
// page, spare and block sizes in the scheme most makers share (bits 1-0 page size, bit 2 spare
// bytes per 512, bits 5-4 block size, bit 6 bus width).
struct ChipGeometry
{
    // False when the ID is too short or its device code is not one of the common codes: then
    // nothing is known, and the chip is taken to be what the programmer handles.
    bool decoded = false;
    int megabits = 0;
    int millivolts = 0;
    int busWidth = 8;
    int pageSize = 0;
    int spareSize = 0;
    int blockSize = 0;

    static ChipGeometry fromId(const QByteArray &id);
    // The geometry of the chips the programmer handles: 1 Gbit, x8, 2048 + 64-byte pages,
    // 128 KiB blocks.
    bool matchesProgrammer() const;
    bool isLowVoltage() const { return decoded && millivolts < 3000; }
    // "1 Gbit, 3.3 V, x8, 2048 + 64-byte pages, 128 KiB blocks"; empty when not decoded.
    QString description() const;
    // How the chip differs from the programmer's geometry: "2 Gbit with 2048-byte pages",
    // "1 Gbit x16 with 2048-byte pages".
    QString mismatch() const;
};
