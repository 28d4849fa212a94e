#include "cli/imagedigests.h"

#include "cli/chiprecord.h"

#include <QCryptographicHash>
#include <QIODevice>
#include <zlib.h>

namespace {

constexpr qint64 ChunkSize = 1 << 20;

} // namespace

void addDigests(QIODevice &device, ChipRecord *record)
{
    QCryptographicHash md5(QCryptographicHash::Md5);
    QCryptographicHash sha1(QCryptographicHash::Sha1);
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    uLong crc = ::crc32(0L, Z_NULL, 0);
    for (;;) {
        const QByteArray chunk = device.read(ChunkSize);
        if (chunk.isEmpty())
            break;
        md5.addData(chunk);
        sha1.addData(chunk);
        sha256.addData(chunk);
        crc = ::crc32_z(crc, reinterpret_cast<const Bytef *>(chunk.constData()),
                        z_size_t(chunk.size()));
    }
    record->crc32 = QString::number(quint32(crc), 16).rightJustified(8, QLatin1Char('0'));
    record->md5 = QString::fromLatin1(md5.result().toHex());
    record->sha1 = QString::fromLatin1(sha1.result().toHex());
    record->sha256 = QString::fromLatin1(sha256.result().toHex());
}
