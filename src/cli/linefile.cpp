#include "cli/linefile.h"

#include <QCoreApplication>
#include <cstdio>

bool LineFile::open(const QString &path, Mode mode, QString *error)
{
    bool opened = false;
    if (path == QLatin1String("-")) {
        opened = file.open(stdout, QIODevice::WriteOnly);
    } else {
        file.setFileName(path);
        opened = file.open(QIODevice::WriteOnly | QIODevice::Text |
                           (mode == Append ? QIODevice::Append : QIODevice::Truncate));
    }
    if (!opened) {
        *error = QCoreApplication::translate("LineFile", "Cannot write the file \"%1\": %2")
                     .arg(path, file.errorString());
    }
    return opened;
}

bool LineFile::writeLine(const QString &line)
{
    QMutexLocker locker(&mutex);
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    return file.write(bytes) == bytes.size() && file.flush();
}
