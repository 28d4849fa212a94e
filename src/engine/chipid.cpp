#include "engine/chipid.h"

#include "engine/chiptable.h"
#include "protocol/geometry.h"

#include <QCoreApplication>

QString chipName(const QByteArray &id)
{
    if (const ChipModel *model = findChipModel(id))
        return QString::fromLatin1(model->name);
    const QString maker = id.isEmpty() ? QString() : makerName(quint8(id.at(0)));
    if (!maker.isEmpty())
        return QCoreApplication::translate("AProgrammer", "Unknown %1 flash device").arg(maker);
    return QCoreApplication::translate("AProgrammer", "Unknown flash device");
}

bool isChipMissing(const QByteArray &id)
{
    return id == QByteArray(5, char(0xFF));
}

int datasheetBadBlockLimit(const QByteArray &id)
{
    const ChipModel *model = findChipModel(id);
    return model ? Geometry::BlockCount - model->minValidBlocks : -1;
}
