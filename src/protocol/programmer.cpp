#include "protocol/programmer.h"

#include "protocol/commands.h"
#include "protocol/logging.h"
#include "usb/ftd.h"
#include "usb/ftddeviceinfo.h"

// The firmware image is compiled into the static core library; its resource has to be
// registered explicitly, from the global namespace.
static void initFirmwareResource()
{
    Q_INIT_RESOURCE(firmware);
}

namespace {

const char ProductDescription[] = "NPX4 Flash Programmer";
// Devices with a newer major version speak a protocol this program does not know.
constexpr int MaxSupportedMajor = 1;
constexpr int RequiredMajor = 1;
constexpr int RequiredMinor = 5;
constexpr quint8 DefaultParameter = 151;
constexpr int DefaultPeriod = 100;
constexpr float DefaultPeriodFraction = 0.3f;
constexpr int LatencyMs = 2;

// A fixed-size text field of the device list, up to its first zero byte.
QByteArray zeroTerminated(const QByteArray &field)
{
    return field.left(int(qstrnlen(field.constData(), uint(field.size()))));
}

QString versionText(int major, int minor)
{
    return QStringLiteral("%1.%2").arg(major).arg(minor);
}

} // namespace

Programmer::Programmer(QObject *parent) : QObject(parent)
{
    initFirmwareResource();

    QString devices = QStringLiteral("Devices connected:");
    for (const FtdDeviceInfo &device : Ftd::deviceList()) {
        devices += QStringLiteral("\n\t%1 %2 s/n: %3")
                       .arg(device.index())
                       .arg(QString::fromLatin1(zeroTerminated(device.description())),
                            QString::fromLatin1(device.serialNumber().toHex()));
    }
    qCDebug(lcProtocol).noquote() << devices;

    ftd = new Ftd(this);
    connect(ftd, &Ftd::readChannelFinished, this, &Programmer::ftdClosed);
}

Programmer::~Programmer()
{
    closeDevice();
}

bool Programmer::isProgrammer(const FtdDeviceInfo &device)
{
    // A device opened by another process lists no usable description: skip it first.
    return !device.isOpened() && zeroTerminated(device.description()) == ProductDescription;
}

bool Programmer::open(int n)
{
    int position = 0;
    return openPicked([&position, n](const FtdDeviceInfo &) { return position++ == n; });
}

bool Programmer::open(const QString &serialNumber)
{
    return openPicked([&serialNumber](const FtdDeviceInfo &device) {
        return QString::fromLatin1(zeroTerminated(device.serialNumber())) == serialNumber;
    });
}

bool Programmer::openPicked(const std::function<bool(const FtdDeviceInfo &)> &pick)
{
    const QList<FtdDeviceInfo> devices = Ftd::deviceList();
    int programmers = 0;
    const FtdDeviceInfo *chosen = nullptr;
    for (const FtdDeviceInfo &device : devices) {
        if (!isProgrammer(device))
            continue;
        ++programmers;
        if (pick(device)) {
            chosen = &device;
            break;
        }
    }
    // No programmer on the bus at all, while our channel holds none (a device we hold is
    // listed as opened): the one that needed replugging has gone, so whatever is attached
    // next starts afresh.
    if (programmers == 0 && !ftd->isOpen())
        reconnectRequired = false;
    unsupportedFirmware = false;
    if (!chosen) {
        error = tr("Specified device not connected");
        return false;
    }
    serial = QString::fromLatin1(zeroTerminated(chosen->serialNumber()));

    // Unbuffered: the driver queues what arrives, and a read buffer of the channel's own would
    // keep bytes of an aborted exchange past the purge that starts every command.
    unreadPhase = 0;
    connected = ftd->openDevice(chosen->index(), QIODevice::ReadWrite | QIODevice::Unbuffered);
    if (!connected) {
        error = tr("Failed to open USB device \"%1\": %2")
                    .arg(QString::fromLatin1(zeroTerminated(chosen->description())),
                         ftd->errorString());
        return false;
    }
    ftd->setLatencyTimer(LatencyMs);

    // A device waiting in its boot loader gets the built-in image at once; it restarts
    // afterwards and has to be plugged in again.
    if (runFirmwareUpload()) {
        closeDevice();
        error = tr("Device reconnection required");
        return false;
    }

    ProgrammerInfo programmerInfo;
    if (getInfo(&programmerInfo) != ResultOk) {
        closeDevice();
        return false;
    }
    if (programmerInfo.major > MaxSupportedMajor) {
        closeDevice();
        unsupportedFirmware = true;
        error = tr("Device has unsupported firmware version.");
        return false;
    }

    // The defaults never make the opening fail by their answers; older firmware refuses some
    // of them without traffic.
    setMode(Npx4Protocol::ModeReady);
    setParameter(DefaultParameter);
    setPeriod(DefaultPeriod, DefaultPeriodFraction);
    setEccMode(eccWanted ? Npx4Protocol::EccSpareSize : 0);
    // One of them broke the transport: the closing sequence has run and its text stands.
    if (!connected)
        return false;

    const QString version = versionText(programmerInfo.major, programmerInfo.minor);
    emit deviceOpened();
    emit info(tr("Programmer firmware version: %1").arg(version));
    if (programmerInfo.major < RequiredMajor ||
        (programmerInfo.major == RequiredMajor && programmerInfo.minor < RequiredMinor)) {
        const QString required = versionText(RequiredMajor, RequiredMinor);
        emit fwUpgradeNeed(version, required);
        qCDebug(lcProtocol).noquote()
            << "Firmware upgrade needed from" << version << "to" << required;
    }
    return true;
}

QList<ProgrammerListing> Programmer::survey(bool inspect)
{
    QList<ProgrammerListing> listing;
    int position = 0;
    for (const FtdDeviceInfo &device : Ftd::deviceList()) {
        ProgrammerListing entry;
        if (device.isOpened()) {
            entry.state = ProgrammerListing::OpenedElsewhere;
        } else if (isProgrammer(device)) {
            entry.index = position++;
            entry.serialNumber = QString::fromLatin1(zeroTerminated(device.serialNumber()));
            entry.description = QString::fromLatin1(zeroTerminated(device.description()));
            if (inspect) {
                Programmer programmer;
                programmer.inspect(device.index(), &entry);
            }
        } else {
            continue;
        }
        listing.append(entry);
    }
    return listing;
}

void Programmer::inspect(int deviceIndex, ProgrammerListing *entry)
{
    entry->state = ProgrammerListing::NoAnswer;
    if (!ftd->openDevice(deviceIndex, QIODevice::ReadWrite | QIODevice::Unbuffered))
        return;
    // Marked connected for the commands' checks only: the device is not configured, and the
    // close below sends it nothing.
    connected = true;
    ProgrammerInfo programmerInfo;
    if (bootLoaderAnswers()) {
        entry->state = ProgrammerListing::BootLoader;
    } else if (getInfo(&programmerInfo) == ResultOk) {
        entry->state = ProgrammerListing::Free;
        entry->firmware = versionText(programmerInfo.major, programmerInfo.minor);
    }
    connected = false;
    ftd->close();
}

void Programmer::setBusyMode(bool busy)
{
    if (connected)
        setMode(busy ? Npx4Protocol::ModeBusy : Npx4Protocol::ModeReady);
}

void Programmer::setBusyMode()
{
    setBusyMode(true);
}

void Programmer::setReadyMode(bool ready)
{
    setBusyMode(!ready);
}

void Programmer::setReadyMode()
{
    setBusyMode(false);
}

// Called by the channel's status poll with the channel's lock held: it must not call back
// into the channel.
void Programmer::ftdClosed()
{
    connected = false;
    reconnectRequired = false;
    emit deviceClosed();
}
