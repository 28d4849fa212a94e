#include "sim/simframe.h"

#include "protocol/commands.h"

namespace SimFrame {

quint16 crc16(const quint8 *data, int size)
{
    quint16 crc = 0;
    for (int i = 0; i < size; ++i) {
        crc ^= quint16(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

void seal(quint8 *frame)
{
    const quint16 crc = crc16(frame, Npx4Protocol::PayloadSize);
    frame[5] = quint8(crc & 0xFF);
    frame[6] = quint8(crc >> 8);
}

bool isSealed(const quint8 *frame)
{
    return crc16(frame, Npx4Protocol::PayloadSize) == quint16(frame[5] | (frame[6] << 8));
}

QByteArray make(quint8 b0, quint8 b1, quint8 b2, quint8 b3, quint8 b4)
{
    quint8 frame[Npx4Protocol::FrameSize] = {b0, b1, b2, b3, b4, 0, 0};
    seal(frame);
    return QByteArray(reinterpret_cast<const char *>(frame), Npx4Protocol::FrameSize);
}

} // namespace SimFrame
