// GLib first: its headers use names that Qt defines as macros.
#include <umockdev.h>

#include "emulated/emulatedftdibridge.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <dlfcn.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>

namespace {

constexpr char DevicePath[] = "/devices/usb1/1-1";
constexpr char InterfacePath[] = "/devices/usb1/1-1/1-1:1.0";
constexpr char DeviceNode[] = "/dev/bus/usb/001/002";
// String descriptors 1 to 3: manufacturer, product and serial number.
constexpr const char *Strings[] = {"Velmora", "NPX4 Flash Programmer", "NPX4E001"};

// Bulk-in packets of 512 bytes start with an idle FT232H's modem status: CTS, DSR, TX empty.
constexpr char ModemStatus[] = "\x32\x60";
constexpr int PacketData = 510;

// umockdev's copy of the client memory that the pointer at `offset` of `data` points to; it is
// written back to the client when the ioctl completes.
UMockdevData resolve(UMockdevIoctlData *data, size_t offset, size_t size)
{
    return {umockdev_ioctl_data_resolve(data, offset, size, nullptr), &g_object_unref};
}

template <typename Value>
void write(UMockdevIoctlData *data, size_t offset, Value value)
{
    umockdev_ioctl_data_update(data, offset, reinterpret_cast<guint8 *>(&value), sizeof value);
}

} // namespace

void EmulatedFtdiBridge::Urb::complete(int status, int length, const QByteArray &answer, int offset)
{
    umockdev_ioctl_data_update(buffer.get(), size_t(offset),
                               reinterpret_cast<guint8 *>(QByteArray(answer).data()),
                               int(answer.size()));
    write(data.get(), offsetof(usbdevfs_urb, status), status);
    write(data.get(), offsetof(usbdevfs_urb, actual_length), length);
    done = true;
}

QString EmulatedFtdiBridge::unavailableReason()
{
    // The library must have been preloaded: loaded later it would miss the calls that come first.
    if (dlopen("libumockdev-preload.so.0", RTLD_LAZY | RTLD_NOLOAD))
        return QString();
    return QStringLiteral("umockdev's preload library is missing; run under umockdev-wrapper");
}

bool EmulatedFtdiBridge::available()
{
    const QString reason = unavailableReason();
    if (!reason.isEmpty())
        std::fprintf(stderr, "SKIP: %s\n", qPrintable(reason));
    return reason.isEmpty();
}

EmulatedFtdiBridge::EmulatedFtdiBridge(SimDeviceEnd *end)
    : end(end), testbed(umockdev_testbed_new()), handler(umockdev_ioctl_base_new()),
      root(qgetenv("UMOCKDEV_DIR"))
{
    // Readable to every user, so that a test may look at it with the rights of another.
    chmod(root.constData(), 0755);
    const auto onIoctl = [](UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self) {
        const int error = static_cast<EmulatedFtdiBridge *>(self)->handle(
            umockdev_ioctl_client_get_request(client), umockdev_ioctl_client_get_arg(client));
        umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
        return TRUE;
    };
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(+onIoctl), this);
    // Attached before the device appears, so that a host that sees it can open it.
    umockdev_testbed_attach_ioctl(testbed, DeviceNode, handler, nullptr);
    // Whoever may open the device node may reach its ioctl socket, as with a real node.
    chmod((root + "/ioctl" + DeviceNode).constData(), 0666);
    plug();
}

EmulatedFtdiBridge::~EmulatedFtdiBridge()
{
    umockdev_testbed_detach_ioctl(testbed, DeviceNode, nullptr);
    g_object_unref(handler);
    g_object_unref(testbed);
}

void EmulatedFtdiBridge::bindInterface(const char *driver)
{
    const QString link = QString::fromLocal8Bit(root + "/sys" + InterfacePath + "/driver");
    QFile::remove(link);
    if (driver)
        QFile::link(QStringLiteral("../../../../bus/usb/drivers/") + QLatin1String(driver), link);
}

void EmulatedFtdiBridge::plug()
{
    std::lock_guard<std::recursive_mutex> locker(mutex);
    if (plugged)
        return;
    plugged = true;
    claimed = false;
    log.latencyTimer = 16;
    toHost.clear();
    lastInPacket = Clock::now();
    // FT232H: device descriptor (bcdDevice 9.00, strings 1 to 3), one configuration with one
    // vendor class interface and the bulk endpoints 0x81 (in) and 0x02 (out) of 512 bytes.
    const QString device =
        QStringLiteral(
            "P: %1\nN: bus/usb/001/002\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
            "E: BUSNUM=001\nE: DEVNUM=002\nE: DEVNAME=%2\nA: idVendor=0403\\n\n"
            "A: idProduct=6014\\n\nA: busnum=1\\n\nA: devnum=2\\n\nA: speed=480\\n\n"
            "A: bConfigurationValue=1\\n\nA: manufacturer=%3\\n\nA: product=%4\\n\n"
            "A: serial=%5\\n\nH: descriptors=12010002000000400304146000090102030109022000010100"
            "802d0904000002ffffff020705810200020007050202000200\n\n"
            "P: %6\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\\n\n")
            .arg(DevicePath, DeviceNode, Strings[0], Strings[1], Strings[2], InterfacePath);
    umockdev_testbed_add_from_string(testbed, device.toUtf8().constData(), nullptr);
    bindInterface(heldElsewhere ? "usbfs" : "ftdi_sio");
    end->attached();
}

void EmulatedFtdiBridge::unplug()
{
    plugged = false;
    toHost.clear();
    unplugCountdown = -1;
    // What the host has in flight ends as on a bus that has lost the device.
    for (Urb &urb : urbs) {
        if (!urb.done)
            urb.complete(-ENODEV, 0);
    }
    // The interface first: umockdev removes a device's own bus link only.
    umockdev_testbed_remove_device(testbed, (QByteArray("/sys") + InterfacePath).constData());
    umockdev_testbed_remove_device(testbed, (QByteArray("/sys") + DevicePath).constData());
}

void EmulatedFtdiBridge::unplugAfterSending(qint64 bytes)
{
    std::lock_guard<std::recursive_mutex> locker(mutex);
    unplugCountdown = bytes;
}

void EmulatedFtdiBridge::setAccess(bool held, bool accessible)
{
    std::lock_guard<std::recursive_mutex> locker(mutex);
    heldElsewhere = held;
    if (plugged && !claimed)
        bindInterface(held ? "usbfs" : "ftdi_sio");
    chmod((root + DeviceNode).constData(), accessible ? 0666 : 0);
}

EmulatedFtdiBridge::Record EmulatedFtdiBridge::record()
{
    std::lock_guard<std::recursive_mutex> locker(mutex);
    return log;
}

void EmulatedFtdiBridge::send(const char *data, qint64 size)
{
    std::lock_guard<std::recursive_mutex> locker(mutex);
    toHost.append(data, size);
}

// The usbfs ioctls that libusb sends to an FTDI chip that libftdi opens, uses and closes.
int EmulatedFtdiBridge::handle(unsigned long request, UMockdevIoctlData *arg)
{
    std::lock_guard<std::recursive_mutex> locker(mutex);
    ++log.ioctls;
    if (request == USBDEVFS_REAPURBNDELAY)
        return reap(arg);
    if (request == USBDEVFS_DISCARDURB) {
        // A transfer that libusb cancels, after its time-out.
        const gulong address = *reinterpret_cast<const gulong *>(arg->data);
        const auto urb = std::find_if(urbs.begin(), urbs.end(), [&](const Urb &urb) {
            return urb.data->client_addr == address && !urb.done;
        });
        if (urb == urbs.end())
            return EINVAL;
        urb->complete(-ENOENT, 0);
        return 0;
    }
    if (!plugged)
        return ENODEV;
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        write(resolve(arg, 0, sizeof(quint32)).get(), 0,
              quint32(USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                      USBDEVFS_CAP_REAP_AFTER_DISCONNECT));
        return 0;
    case USBDEVFS_SUBMITURB:
        return submit(arg);
    case USBDEVFS_DISCONNECT_CLAIM:
        // Takes the interface from the kernel's serial driver, but not from another program.
        if (heldElsewhere)
            return EBUSY;
        log.kernelDriver << QStringLiteral("detached");
        claimed = true;
        bindInterface("usbfs");
        return 0;
    case USBDEVFS_RELEASEINTERFACE:
        claimed = false;
        bindInterface(nullptr);
        return 0;
    case USBDEVFS_IOCTL: {
        // Gives the interface back to the kernel's serial driver.
        const UMockdevData command = resolve(arg, 0, sizeof(usbdevfs_ioctl));
        if (reinterpret_cast<const usbdevfs_ioctl *>(command->data)->ioctl_code != USBDEVFS_CONNECT)
            return ENOTTY;
        bindInterface("ftdi_sio");
        log.kernelDriver << QStringLiteral("attached");
        return 0;
    }
    default:
        return ENOTTY;
    }
}

// Answers a control request from its setup packet; nothing for a request that stalls.
std::optional<QByteArray> EmulatedFtdiBridge::control(const quint8 *setup)
{
    const int request = setup[0] << 8 | setup[1];
    const int value = setup[2] | setup[3] << 8;
    if (request == 0x8006 && value >> 8 == 3 && (value & 0xff) <= 3) {
        // GET_DESCRIPTOR of a string (libusb reads the others from sysfs); 0: US English.
        const QString text = value & 0xff ? QString::fromLatin1(Strings[(value & 0xff) - 1])
                                          : QString(QChar(0x0409));
        return QByteArray(1, char(2 + 2 * text.size())) + char(3) +
               QByteArray(reinterpret_cast<const char *>(text.utf16()), 2 * text.size());
    }
    if (request == 0x4000) {
        // SIO_RESET: 0 resets the chip, 2 purges the bytes towards the host and 1 those
        // towards the device, which the emulation has passed on at once.
        if (value != 1)
            toHost.clear();
        if (value == 0)
            end->resync();
    } else if (request == 0x4009) { // SIO_SET_LATENCY_TIMER
        log.latencyTimer = value & 0xff;
    } else if (request != 0x4003 && request != 0x4006 && request != 0x4007) {
        // SIO_SET_BAUDRATE, SIO_SET_EVENT_CHAR and SIO_SET_ERROR_CHAR change nothing here.
        return std::nullopt;
    }
    return QByteArray();
}

int EmulatedFtdiBridge::submit(UMockdevIoctlData *arg)
{
    UMockdevData data = resolve(arg, 0, sizeof(usbdevfs_urb));
    const usbdevfs_urb header = *reinterpret_cast<const usbdevfs_urb *>(data->data);
    UMockdevData buffer =
        resolve(data.get(), offsetof(usbdevfs_urb, buffer), size_t(header.buffer_length));
    Urb urb{std::move(data), std::move(buffer)};
    const quint8 *bytes = urb.buffer->data;
    if (header.type == USBDEVFS_URB_TYPE_CONTROL) {
        // The answer follows the setup packet, cut to the length that the setup asks for.
        const std::optional<QByteArray> answer = control(bytes);
        const QByteArray sent = answer.value_or(QByteArray())
                                    .left(qMin(bytes[6] | bytes[7] << 8, header.buffer_length - 8));
        urb.complete(answer ? 0 : -EPIPE, int(sent.size()), sent, 8);
    } else if (header.type == USBDEVFS_URB_TYPE_BULK && header.endpoint == 0x02) {
        log.largestOutTransfer = qMax(log.largestOutTransfer, header.buffer_length);
        urb.complete(0, header.buffer_length);
        end->received(reinterpret_cast<const char *>(bytes), header.buffer_length, *this);
    } else if (header.type == USBDEVFS_URB_TYPE_BULK && header.endpoint == 0x81) {
        log.largestInTransfer = qMax(log.largestInTransfer, header.buffer_length);
    } else {
        return EINVAL;
    }
    urbs.push_back(std::move(urb));
    return 0;
}

int EmulatedFtdiBridge::reap(UMockdevIoctlData *arg)
{
    const Clock::time_point now = Clock::now();
    for (Urb &urb : urbs) {
        // The chip sends full packets as they fill and the rest, or only its status, when the
        // latency timer runs out; the host's transfer ends when it is full or a packet is short.
        const int length = reinterpret_cast<const usbdevfs_urb *>(urb.data->data)->buffer_length;
        const qint64 room = length - (length + 511) / 512 * 2;
        const qint64 available =
            std::min({qint64(toHost.size()), room, unplugCountdown < 0 ? room : unplugCountdown});
        if (urb.done || !plugged ||
            (available < room && now < lastInPacket + std::chrono::milliseconds(log.latencyTimer)))
            continue;
        log.latencyExpiries += available > 0 && available < room;
        const QByteArray data = toHost.left(available);
        toHost.remove(0, available);
        QByteArray packets;
        for (qint64 offset = 0; offset == 0 || offset < available; offset += PacketData)
            packets += QByteArray(ModemStatus, 2) + data.mid(offset, PacketData);
        urb.complete(0, int(packets.size()), packets);
        lastInPacket = now;
        if (unplugCountdown >= 0 && (unplugCountdown -= available) == 0)
            unplug();
    }
    const auto urb =
        std::find_if(urbs.begin(), urbs.end(), [](const Urb &urb) { return urb.done; });
    if (urb == urbs.end())
        return plugged ? EAGAIN : ENODEV;
    // The reaped URB and its buffer are written back to the client with the answer.
    umockdev_ioctl_data_set_ptr(resolve(arg, 0, sizeof(void *)).get(), 0, urb->data.get());
    urbs.erase(urb);
    return 0;
}
