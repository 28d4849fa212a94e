#include "engine/imagefile.h"

#include <QFileInfo>
#include <QSaveFile>

std::unique_ptr<QFileDevice> createImageFile(const QString &path, bool directWriteFallback)
{
    const QFileInfo target(path);
    if (target.exists() && !target.isFile())
        return std::make_unique<QFile>(path);
    auto file = std::make_unique<QSaveFile>(path);
    file->setDirectWriteFallback(directWriteFallback);
    return file;
}

bool commitImageFile(QFileDevice &file)
{
    auto *beside = qobject_cast<QSaveFile *>(&file);
    return beside ? beside->commit() : file.error() == QFileDevice::NoError;
}
