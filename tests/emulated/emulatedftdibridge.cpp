// GLib first: its headers use names that Qt defines as macros.
#include <umockdev.h>

#include "emulated/emulatedftdibridge.h"

#include <QFile>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <dlfcn.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <memory>
#include <sys/stat.h>

namespace {

constexpr char DevicePath[] = "/devices/usb1/1-1";
constexpr char InterfacePath[] = "/devices/usb1/1-1/1-1:1.0";
constexpr char DeviceNode[] = "/dev/bus/usb/001/002";
constexpr char Manufacturer[] = "Velmora";
constexpr char Product[] = "NPX4 Flash Programmer";

// FT232H: device descriptor (bcdDevice 9.00, strings 1 to 3), then one configuration with one
// vendor-specific interface and the bulk endpoints 0x81 (in) and 0x02 (out), 512 bytes each.
constexpr char Descriptors[] = "120100020000004003041460000901020301"
                               "09022000010100802d"
                               "0904000002ffffff02"
                               "07058102000200"
                               "07050202000200";

constexpr int PacketSize = 512;
constexpr int StatusBytes = 2;
// Modem status as an idle FT232H reports it: CTS and DSR set, transmitter empty.
constexpr char ModemStatus[StatusBytes] = {0x32, 0x60};

// FTDI vendor requests (bRequest).
enum : quint8
{
    SioReset = 0x00,
    SioModemCtrl = 0x01,
    SioSetFlowCtrl = 0x02,
    SioSetBaudRate = 0x03,
    SioSetData = 0x04,
    SioPollModemStatus = 0x05,
    SioSetEventChar = 0x06,
    SioSetErrorChar = 0x07,
    SioSetLatencyTimer = 0x09,
    SioGetLatencyTimer = 0x0a,
    SioSetBitMode = 0x0b,
    SioReadPins = 0x0c,
    SioReadEeprom = 0x90,
};
// wValue of SioReset: the whole chip, or the buffer towards the device or towards the host.
enum : quint16
{
    ResetChip = 0,
    PurgeTowardsDevice = 1,
    PurgeTowardsHost = 2
};

usbdevfs_urb &urbOf(UMockdevIoctlData *data)
{
    return *reinterpret_cast<usbdevfs_urb *>(data->data);
}

// umockdev's copy of client memory that `pointer` at `offset` of `data` points to; the memory
// is written back to the client when the ioctl completes.
using Resolved = std::unique_ptr<UMockdevIoctlData, decltype(&g_object_unref)>;
Resolved resolve(UMockdevIoctlData *data, size_t offset, size_t size)
{
    return Resolved(umockdev_ioctl_data_resolve(data, offset, size, nullptr), &g_object_unref);
}

template <typename Value>
void write(UMockdevIoctlData *data, size_t offset, Value value)
{
    umockdev_ioctl_data_update(data, offset, reinterpret_cast<guint8 *>(&value), sizeof value);
}

void setUrbResult(UMockdevIoctlData *data, int status, int actualLength)
{
    write(data, offsetof(usbdevfs_urb, status), status);
    write(data, offsetof(usbdevfs_urb, actual_length), actualLength);
}

QByteArray stringDescriptor(const QByteArray &text)
{
    QByteArray descriptor(2, '\0');
    descriptor[0] = char(2 + 2 * text.size());
    descriptor[1] = 3;
    for (char c : text)
        descriptor.append(c).append('\0');
    return descriptor;
}

} // namespace

QString EmulatedFtdiBridge::unavailableReason()
{
    // The library must have been preloaded: loaded later it would miss the calls that come first.
    if (!dlopen("libumockdev-preload.so.0", RTLD_LAZY | RTLD_NOLOAD))
        return QStringLiteral("umockdev's preload library is not loaded; run the program under "
                              "umockdev-wrapper");
    return QString();
}

EmulatedFtdiBridge::EmulatedFtdiBridge(SimDeviceEnd *end, const QByteArray &serialNumber)
    : end(end), serial(serialNumber)
{
    testbed = umockdev_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    // Readable to every user, so that a test may look at it with the rights of another.
    chmod(root, 0755);
    gchar *sys = umockdev_testbed_get_sys_dir(testbed);
    sysDir = QString::fromLocal8Bit(sys);
    g_free(sys);
    handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
    // Attached before the device appears, so that a host that sees it can open it.
    umockdev_testbed_attach_ioctl(testbed, DeviceNode, handler, nullptr);
    // Whoever may open the device node may reach its ioctl socket, as with a real node.
    const QByteArray socket = QByteArray(root) + "/ioctl" + DeviceNode;
    chmod(socket.constData(), 0666);
    g_free(root);
    std::lock_guard<std::recursive_mutex> locker(mutex);
    comeBack();
}

EmulatedFtdiBridge::~EmulatedFtdiBridge()
{
    {
        std::lock_guard<std::recursive_mutex> locker(mutex);
        for (Urb &urb : urbs) {
            g_object_unref(urb.buffer);
            g_object_unref(urb.data);
        }
        urbs.clear();
    }
    umockdev_testbed_detach_ioctl(testbed, DeviceNode, nullptr);
    g_object_unref(handler);
    g_object_unref(testbed);
}

void EmulatedFtdiBridge::addToTestbed()
{
    const QByteArray device = QByteArray("P: ") + DevicePath +
                              "\nN: bus/usb/001/002\n"
                              "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                              "E: BUSNUM=001\nE: DEVNUM=002\nE: DEVNAME=" +
                              DeviceNode +
                              "\nA: idVendor=0403\\n\nA: idProduct=6014\\n\n"
                              "A: busnum=1\\n\nA: devnum=2\\n\nA: speed=480\\n\n"
                              "A: bConfigurationValue=1\\n\nA: manufacturer=" +
                              Manufacturer + "\\n\nA: product=" + Product +
                              "\\n\nA: serial=" + serial + "\\n\nH: descriptors=" + Descriptors +
                              "\n";
    umockdev_testbed_add_from_string(testbed, device.constData(), nullptr);
    const QByteArray interface = QByteArray("P: ") + InterfacePath +
                                 "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
                                 "A: bInterfaceNumber=00\\n\n";
    umockdev_testbed_add_from_string(testbed, interface.constData(), nullptr);
}

void EmulatedFtdiBridge::bindInterface(const char *driver)
{
    const QString link = sysDir + QLatin1String(InterfacePath) + QLatin1String("/driver");
    QFile::remove(link);
    if (driver)
        QFile::link(QStringLiteral("../../../../bus/usb/drivers/") + QLatin1String(driver), link);
}

void EmulatedFtdiBridge::comeBack()
{
    plugged = true;
    kernelDriverBound = true;
    claimed = false;
    log.latencyTimer = 16;
    toHost.clear();
    lastInPacket = Clock::now();
    addToTestbed();
    bindInterface(heldElsewhere ? "usbfs" : "ftdi_sio");
    if (end)
        end->attached();
}

void EmulatedFtdiBridge::goOffBus()
{
    if (!plugged)
        return;
    plugged = false;
    toHost.clear();
    unplugCountdown = -1;
    // What the host has in flight ends as on a bus that has lost the device.
    for (Urb &urb : urbs) {
        if (!urb.done) {
            setUrbResult(urb.data, -ENODEV, 0);
            urb.done = true;
        }
    }
    // The interface first: umockdev removes a device's own bus link only.
    umockdev_testbed_remove_device(testbed, (QByteArray("/sys") + InterfacePath).constData());
    umockdev_testbed_remove_device(testbed, (QByteArray("/sys") + DevicePath).constData());
}

void EmulatedFtdiBridge::unplug()
{
    std::lock_guard<std::recursive_mutex> locker(mutex);
    leaveAt.reset();
    returnAt.reset();
    goOffBus();
}

void EmulatedFtdiBridge::plug()
{
    std::lock_guard<std::recursive_mutex> locker(mutex);
    returnAt.reset();
    if (!plugged)
        comeBack();
}

bool EmulatedFtdiBridge::isPlugged()
{
    std::lock_guard<std::recursive_mutex> locker(mutex);
    advance();
    return plugged;
}

void EmulatedFtdiBridge::unplugAfterSending(qint64 bytes)
{
    std::lock_guard<std::recursive_mutex> locker(mutex);
    unplugCountdown = bytes;
}

void EmulatedFtdiBridge::setHeldElsewhere(bool held)
{
    std::lock_guard<std::recursive_mutex> locker(mutex);
    heldElsewhere = held;
    if (plugged && !claimed)
        bindInterface(held ? "usbfs" : kernelDriverBound ? "ftdi_sio" : nullptr);
}

void EmulatedFtdiBridge::setAccessible(bool accessible)
{
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    const QByteArray node = QByteArray(root) + DeviceNode;
    g_free(root);
    chmod(node.constData(), accessible ? 0666 : 0);
}

EmulatedFtdiBridge::Record EmulatedFtdiBridge::record()
{
    std::lock_guard<std::recursive_mutex> locker(mutex);
    return log;
}

void EmulatedFtdiBridge::send(const char *data, qint64 size)
{
    sendAfter(0, QByteArray(data, int(size)));
}

void EmulatedFtdiBridge::sendAfter(int delayMs, const QByteArray &bytes)
{
    std::lock_guard<std::recursive_mutex> locker(mutex);
    if (!plugged || bytes.isEmpty())
        return;
    // Bytes never overtake bytes sent before them.
    Clock::time_point due = Clock::now() + std::chrono::milliseconds(delayMs);
    if (!toHost.empty() && toHost.back().due > due)
        due = toHost.back().due;
    toHost.push_back({bytes, due});
}

void EmulatedFtdiBridge::leaveBus(int returnAfterMs)
{
    leaveBusAfter(0, returnAfterMs);
}

void EmulatedFtdiBridge::leaveBusAfter(int delayMs, int returnAfterMs)
{
    std::lock_guard<std::recursive_mutex> locker(mutex);
    leaveAt = Clock::now() + std::chrono::milliseconds(delayMs);
    returnAfterLeaveMs = returnAfterMs;
    advance();
}

void EmulatedFtdiBridge::advance()
{
    const Clock::time_point now = Clock::now();
    if (leaveAt && *leaveAt <= now) {
        leaveAt.reset();
        goOffBus();
        if (returnAfterLeaveMs >= 0)
            returnAt = now + std::chrono::milliseconds(returnAfterLeaveMs);
    }
    if (returnAt && *returnAt <= now) {
        returnAt.reset();
        comeBack();
    }
}

int EmulatedFtdiBridge::onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self)
{
    auto *bridge = static_cast<EmulatedFtdiBridge *>(self);
    long result = 0;
    int error = 0;
    const bool handled = bridge->handle(umockdev_ioctl_client_get_request(client),
                                        umockdev_ioctl_client_get_arg(client), &result, &error);
    if (handled)
        umockdev_ioctl_client_complete(client, result, error);
    return handled;
}

bool EmulatedFtdiBridge::handle(unsigned long request, UMockdevIoctlData *arg, long *result,
                                int *error)
{
    std::lock_guard<std::recursive_mutex> locker(mutex);
    ++log.ioctls;
    advance();
    int status = 0;
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        const quint32 capabilities = USBDEVFS_CAP_BULK_CONTINUATION |
                                     USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                     USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        write(resolve(arg, 0, sizeof capabilities).get(), 0, capabilities);
        break;
    }
    case USBDEVFS_SUBMITURB:
        status = submit(arg);
        break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        status = reap(arg);
        break;
    case USBDEVFS_DISCARDURB:
        status = discard(arg);
        break;
    case USBDEVFS_CLAIMINTERFACE:
        status = claim(false);
        break;
    case USBDEVFS_DISCONNECT_CLAIM:
        status = claim(true);
        break;
    case USBDEVFS_RELEASEINTERFACE:
        status = plugged ? 0 : ENODEV;
        if (claimed && plugged) {
            claimed = false;
            bindInterface(nullptr);
        }
        break;
    case USBDEVFS_GETDRIVER:
        status = driverName(arg);
        break;
    case USBDEVFS_IOCTL:
        status = kernelDriverRequest(arg);
        break;
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        status = plugged ? 0 : ENODEV;
        break;
    default:
        status = plugged ? ENOTTY : ENODEV;
        break;
    }
    *result = status ? -1 : 0;
    *error = status;
    return true;
}

int EmulatedFtdiBridge::driverName(UMockdevIoctlData *arg)
{
    if (!plugged)
        return ENODEV;
    const char *driver = claimed ? "usbfs" : kernelDriverBound ? "ftdi_sio" : nullptr;
    if (!driver)
        return ENODATA;
    const Resolved answer = resolve(arg, 0, sizeof(usbdevfs_getdriver));
    umockdev_ioctl_data_update(answer.get(), offsetof(usbdevfs_getdriver, driver),
                               reinterpret_cast<guint8 *>(const_cast<char *>(driver)),
                               int(std::strlen(driver) + 1));
    return 0;
}

int EmulatedFtdiBridge::kernelDriverRequest(UMockdevIoctlData *arg)
{
    if (!plugged)
        return ENODEV;
    usbdevfs_ioctl command = {};
    std::memcpy(&command, resolve(arg, 0, sizeof command)->data, sizeof command);
    if (command.ifno != 0)
        return EINVAL;
    switch (command.ioctl_code) {
    case USBDEVFS_DISCONNECT:
        if (!kernelDriverBound)
            return ENODATA;
        kernelDriverBound = false;
        bindInterface(nullptr);
        log.kernelDriver << QStringLiteral("detached");
        return 0;
    case USBDEVFS_CONNECT:
        if (claimed)
            return EBUSY;
        kernelDriverBound = true;
        bindInterface("ftdi_sio");
        log.kernelDriver << QStringLiteral("attached");
        return 0;
    default:
        return ENOTTY;
    }
}

int EmulatedFtdiBridge::claim(bool disconnectFirst)
{
    if (!plugged)
        return ENODEV;
    if (heldElsewhere)
        return EBUSY;
    if (kernelDriverBound) {
        if (!disconnectFirst)
            return EBUSY;
        kernelDriverBound = false;
        log.kernelDriver << QStringLiteral("detached");
    }
    claimed = true;
    bindInterface("usbfs");
    return 0;
}

int EmulatedFtdiBridge::submit(UMockdevIoctlData *arg)
{
    if (!plugged)
        return ENODEV;
    Resolved data = resolve(arg, 0, sizeof(usbdevfs_urb));
    const usbdevfs_urb header = urbOf(data.get());
    Resolved buffer =
        resolve(data.get(), offsetof(usbdevfs_urb, buffer), size_t(header.buffer_length));
    if (!buffer)
        return EINVAL;
    Urb urb{data.release(), buffer.release()};
    if (header.type == USBDEVFS_URB_TYPE_CONTROL) {
        control(urb);
        urb.done = true;
    } else if (header.type == USBDEVFS_URB_TYPE_BULK && header.endpoint == 0x02) {
        log.largestOutTransfer = qMax(log.largestOutTransfer, header.buffer_length);
        log.bytesFromHost += header.buffer_length;
        setUrbResult(urb.data, 0, header.buffer_length);
        urb.done = true;
        if (end)
            end->received(reinterpret_cast<const char *>(urb.buffer->data), header.buffer_length,
                          *this);
    } else if (header.type == USBDEVFS_URB_TYPE_BULK && header.endpoint == 0x81) {
        log.largestInTransfer = qMax(log.largestInTransfer, header.buffer_length);
    } else {
        g_object_unref(urb.buffer);
        g_object_unref(urb.data);
        return EINVAL;
    }
    urbs.push_back(urb);
    return 0;
}

void EmulatedFtdiBridge::control(Urb &urb)
{
    const int status = controlAnswer(urb);
    if (status != 0)
        setUrbResult(urb.data, status, 0);
}

int EmulatedFtdiBridge::controlAnswer(Urb &urb)
{
    const usbdevfs_urb &header = urbOf(urb.data);
    const quint8 *setup = reinterpret_cast<const quint8 *>(urb.buffer->data);
    if (header.buffer_length < 8)
        return -EINVAL;
    const quint8 requestType = setup[0];
    const quint8 request = setup[1];
    const quint16 value = quint16(setup[2] | setup[3] << 8);
    const int length = setup[6] | setup[7] << 8;
    QByteArray answer;
    if (requestType == 0x80 && request == 0x06 && value >> 8 == 3) {
        const int index = value & 0xff;
        answer = index == 0   ? QByteArray::fromHex("04030904")
                 : index == 1 ? stringDescriptor(Manufacturer)
                 : index == 2 ? stringDescriptor(Product)
                 : index == 3 ? stringDescriptor(serial)
                              : QByteArray();
        if (answer.isEmpty())
            return -EPIPE;
    } else if (requestType == 0x80 && request == 0x08) {
        answer = QByteArray(1, 1);
    } else if (requestType == 0x40) {
        switch (request) {
        case SioReset:
            if (value == ResetChip || value == PurgeTowardsHost)
                toHost.clear();
            if ((value == ResetChip || value == PurgeTowardsDevice) && end)
                end->resync();
            break;
        case SioSetLatencyTimer:
            if ((value & 0xff) == 0)
                return -EPIPE;
            log.latencyTimer = value & 0xff;
            break;
        case SioModemCtrl:
        case SioSetFlowCtrl:
        case SioSetBaudRate:
        case SioSetData:
        case SioSetEventChar:
        case SioSetErrorChar:
        case SioSetBitMode:
            break;
        default:
            return -EPIPE;
        }
    } else if (requestType == 0xc0) {
        switch (request) {
        case SioGetLatencyTimer:
            answer = QByteArray(1, char(log.latencyTimer));
            break;
        case SioPollModemStatus:
            answer = QByteArray(ModemStatus, StatusBytes);
            break;
        case SioReadPins:
            answer = QByteArray(1, '\0');
            break;
        case SioReadEeprom:
            answer = QByteArray(2, char(0xff));
            break;
        default:
            return -EPIPE;
        }
    } else {
        return -EPIPE;
    }
    answer.truncate(qMin(length, header.buffer_length - 8));
    if (!answer.isEmpty())
        umockdev_ioctl_data_update(urb.buffer, 8, reinterpret_cast<guint8 *>(answer.data()),
                                   int(answer.size()));
    setUrbResult(urb.data, 0, int(answer.size()));
    return 0;
}

qint64 EmulatedFtdiBridge::availableForHost(Clock::time_point now) const
{
    qint64 available = 0;
    for (const Pending &pending : toHost) {
        if (pending.due > now)
            break;
        available += pending.bytes.size();
    }
    return available;
}

QByteArray EmulatedFtdiBridge::takeForHost(qint64 size)
{
    QByteArray bytes;
    while (bytes.size() < size) {
        Pending &front = toHost.front();
        const qint64 piece = qMin<qint64>(size - bytes.size(), front.bytes.size());
        bytes += front.bytes.left(piece);
        front.bytes.remove(0, piece);
        if (front.bytes.isEmpty())
            toHost.pop_front();
    }
    return bytes;
}

void EmulatedFtdiBridge::fillIn(Urb &urb, Clock::time_point now)
{
    const int length = urbOf(urb.data).buffer_length;
    const int packets = (length + PacketSize - 1) / PacketSize;
    const qint64 room = length - qint64(packets) * StatusBytes;
    qint64 available = availableForHost(now);
    if (unplugCountdown >= 0)
        available = qMin(available, unplugCountdown);
    // The chip sends full packets as they fill and the rest, or only its status, when the
    // latency timer runs out; the host's transfer ends when it is full or a packet is short.
    const bool full = available >= room;
    const bool timerExpired = now >= lastInPacket + std::chrono::milliseconds(log.latencyTimer);
    if (!full && !timerExpired && unplugCountdown != 0)
        return;
    if (!full && available > 0)
        ++log.latencyExpiries;
    const QByteArray data = takeForHost(qMin(available, room));
    QByteArray packetsOut;
    qsizetype offset = 0;
    do {
        packetsOut.append(ModemStatus, StatusBytes);
        const qsizetype piece = qMin<qsizetype>(PacketSize - StatusBytes, data.size() - offset);
        packetsOut.append(data.constData() + offset, piece);
        offset += piece;
    } while (offset < data.size());
    umockdev_ioctl_data_update(urb.buffer, 0, reinterpret_cast<guint8 *>(packetsOut.data()),
                               int(packetsOut.size()));
    setUrbResult(urb.data, 0, int(packetsOut.size()));
    urb.done = true;
    lastInPacket = now;
    log.bytesToHost += data.size();
    if (unplugCountdown >= 0) {
        unplugCountdown -= data.size();
        if (unplugCountdown <= 0)
            goOffBus();
    }
}

int EmulatedFtdiBridge::reap(UMockdevIoctlData *arg)
{
    const Clock::time_point now = Clock::now();
    for (Urb &urb : urbs) {
        if (!urb.done && plugged)
            fillIn(urb, now);
    }
    for (auto it = urbs.begin(); it != urbs.end(); ++it) {
        if (!it->done)
            continue;
        const Urb urb = *it;
        urbs.erase(it);
        // The reaped URB and its buffer are written back to the client with the answer.
        umockdev_ioctl_data_set_ptr(resolve(arg, 0, sizeof(void *)).get(), 0, urb.data);
        g_object_unref(urb.buffer);
        g_object_unref(urb.data);
        return 0;
    }
    return plugged ? EAGAIN : ENODEV;
}

int EmulatedFtdiBridge::discard(UMockdevIoctlData *arg)
{
    const gulong address = *reinterpret_cast<const gulong *>(arg->data);
    for (Urb &urb : urbs) {
        if (urb.data->client_addr == address && !urb.done) {
            setUrbResult(urb.data, -ENOENT, 0);
            urb.done = true;
            return 0;
        }
    }
    return EINVAL;
}
