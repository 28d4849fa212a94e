#include "usb/usbsysfs.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

QString usbInterfaceDriver(const QString &root, int bus, const QList<int> &portPath,
                           int interfaceNumber)
{
    // A device appears as "<bus>-<port>.<port>...", its interfaces as
    // "<device>:<configuration>.<interface>".
    if (portPath.isEmpty())
        return QString();
    QStringList ports;
    for (int port : portPath)
        ports << QString::number(port);
    const QString device = QString::number(bus) + QLatin1Char('-') + ports.join(QLatin1Char('.'));

    QFile configurationFile(root + QLatin1Char('/') + device +
                            QLatin1String("/bConfigurationValue"));
    if (!configurationFile.open(QIODevice::ReadOnly))
        return QString();
    bool ok = false;
    const int configuration = configurationFile.readAll().trimmed().toInt(&ok);
    if (!ok)
        return QString();

    const QFileInfo driverLink(QStringLiteral("%1/%2:%3.%4/driver")
                                   .arg(root, device)
                                   .arg(configuration)
                                   .arg(interfaceNumber));
    if (!driverLink.isSymLink())
        return QString();
    return QFileInfo(driverLink.symLinkTarget()).fileName();
}
