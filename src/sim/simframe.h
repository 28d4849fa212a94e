#pragma once

#include <QByteArray>
#include <QtGlobal>

// The 7-byte frames of the programmer's link as the simulated device builds and checks them:
// five bytes followed by their CRC-16/XMODEM, low byte first.
namespace SimFrame {

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR.
quint16 crc16(const quint8 *data, int size);

// Writes the CRC of frame bytes 0..4 into bytes 5 and 6.
void seal(quint8 *frame);
// True when bytes 5 and 6 hold the CRC of bytes 0..4.
bool isSealed(const quint8 *frame);

// A sealed frame of the five given bytes.
QByteArray make(quint8 b0, quint8 b1, quint8 b2, quint8 b3, quint8 b4);

} // namespace SimFrame
