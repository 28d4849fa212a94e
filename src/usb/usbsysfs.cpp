#include "usb/usbsysfs.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace {

// A device appears as "<bus>-<port>.<port>..."; empty without ports.
QString deviceName(int bus, const QList<int> &portPath)
{
    if (portPath.isEmpty())
        return QString();
    QStringList ports;
    for (int port : portPath)
        ports << QString::number(port);
    return QString::number(bus) + QLatin1Char('-') + ports.join(QLatin1Char('.'));
}

} // namespace

QByteArray usbDeviceAttribute(const QString &root, int bus, const QList<int> &portPath,
                              const QString &name)
{
    const QString device = deviceName(bus, portPath);
    if (device.isEmpty())
        return QByteArray();
    QFile file(root + QLatin1Char('/') + device + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll().trimmed();
}

QString usbInterfaceDriver(const QString &root, int bus, const QList<int> &portPath,
                           int interfaceNumber)
{
    // Interfaces appear as "<device>:<configuration>.<interface>".
    const QString device = deviceName(bus, portPath);
    bool ok = false;
    const int configuration =
        usbDeviceAttribute(root, bus, portPath, QStringLiteral("bConfigurationValue")).toInt(&ok);
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
