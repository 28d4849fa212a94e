#include "sim/simdriver.h"

#include <QString>
#include <algorithm>

SimDriver::SimDriver()
{
    scheduler = std::thread([this] { runScheduler(); });
}

SimDriver::~SimDriver()
{
    {
        const std::lock_guard<std::mutex> lock(schedulerMutex);
        stopping = true;
    }
    schedulerWake.notify_one();
    scheduler.join();
}

int SimDriver::addDevice(const QByteArray &description, SimDeviceEnd *end)
{
    SimDevice *device;
    int number;
    {
        const std::lock_guard<std::mutex> lock(devicesMutex);
        number = int(devices.size());
        const QByteArray serial =
            QStringLiteral("SIM%1").arg(number + 1, 5, 10, QChar('0')).toLatin1();
        devices.push_back(
            std::make_unique<SimDevice>(description.left(63), serial, [this] { wakeScheduler(); }));
        device = devices.back().get();
    }
    device->setDeviceEnd(end);
    return number;
}

int SimDriver::addProgrammer(SimDeviceEnd *end)
{
    return addDevice(ProgrammerDescription, end);
}

int SimDriver::deviceCount() const
{
    const std::lock_guard<std::mutex> lock(devicesMutex);
    return int(devices.size());
}

SimDevice &SimDriver::device(int number) const
{
    const std::lock_guard<std::mutex> lock(devicesMutex);
    if (number < 0 || size_t(number) >= devices.size())
        qFatal("SimDriver: there is no device %d (%d devices)", number, int(devices.size()));
    return *devices[size_t(number)];
}

int SimDriver::createDeviceInfoList(quint32 *count)
{
    // Devices are asked without holding the list lock: a device end may call back into us.
    const std::vector<SimDevice *> all = allDevices();
    std::vector<FtDeviceListInfoNode> nodes;
    for (size_t number = 0; number < all.size(); ++number) {
        if (all[number]->isPlugged())
            nodes.push_back(all[number]->listing(int(number)));
    }
    *count = quint32(nodes.size());
    const std::lock_guard<std::mutex> lock(devicesMutex);
    listed = std::move(nodes);
    return FtOk;
}

int SimDriver::getDeviceInfoList(FtDeviceListInfoNode *nodes, quint32 *count)
{
    const std::lock_guard<std::mutex> lock(devicesMutex);
    const quint32 n = std::min<quint32>(*count, quint32(listed.size()));
    std::copy_n(listed.begin(), n, nodes);
    *count = n;
    return FtOk;
}

int SimDriver::open(int index, FtHandle *handle)
{
    *handle = nullptr;
    int position = 0;
    for (SimDevice *device : allDevices()) {
        if (!device->isPlugged())
            continue;
        if (position++ != index)
            continue;
        quintptr id;
        {
            const std::lock_guard<std::mutex> lock(devicesMutex);
            id = ++lastHandle;
        }
        const int status = device->open(id);
        if (status == FtOk)
            *handle = reinterpret_cast<FtHandle>(id);
        return status;
    }
    return FtDeviceNotFound;
}

template <typename Op>
int SimDriver::onDevice(FtHandle handle, Op op)
{
    const quintptr id = reinterpret_cast<quintptr>(handle);
    for (SimDevice *device : allDevices()) {
        if (device->holds(id))
            return op(*device, id);
    }
    return FtInvalidHandle;
}

int SimDriver::close(FtHandle handle)
{
    return onDevice(handle, [](SimDevice &device, quintptr id) { return device.close(id); });
}

int SimDriver::resetDevice(FtHandle handle)
{
    return onDevice(handle, [](SimDevice &device, quintptr id) { return device.check(id); });
}

int SimDriver::purge(FtHandle handle, quint32 mask)
{
    return onDevice(handle,
                    [mask](SimDevice &device, quintptr id) { return device.purge(id, mask); });
}

int SimDriver::setTimeouts(FtHandle handle, quint32, quint32 writeMs)
{
    return onDevice(handle, [writeMs](SimDevice &device, quintptr id) {
        return device.setWriteTimeout(id, writeMs);
    });
}

int SimDriver::setChars(FtHandle handle, quint8, bool, quint8, bool)
{
    return onDevice(handle, [](SimDevice &device, quintptr id) { return device.check(id); });
}

int SimDriver::setUsbParameters(FtHandle handle, quint32, quint32)
{
    return onDevice(handle, [](SimDevice &device, quintptr id) { return device.check(id); });
}

int SimDriver::setLatencyTimer(FtHandle handle, quint8 ms)
{
    return onDevice(
        handle, [ms](SimDevice &device, quintptr id) { return device.setLatencyTimer(id, ms); });
}

int SimDriver::setEventNotification(FtHandle handle, quint32 mask, AutoResetEvent *event)
{
    return onDevice(handle, [mask, event](SimDevice &device, quintptr id) {
        return device.setEventNotification(id, mask, event);
    });
}

int SimDriver::getQueueStatus(FtHandle handle, quint32 *rxBytes)
{
    *rxBytes = 0;
    return onDevice(handle, [rxBytes](SimDevice &device, quintptr id) {
        return device.queueStatus(id, rxBytes);
    });
}

int SimDriver::getStatus(FtHandle handle, quint32 *rxBytes, quint32 *txBytes, quint32 *eventStatus)
{
    // Writes complete synchronously, so nothing ever waits in the transmit queue.
    *rxBytes = 0;
    *txBytes = 0;
    *eventStatus = 0;
    return onDevice(handle, [rxBytes](SimDevice &device, quintptr id) {
        return device.queueStatus(id, rxBytes);
    });
}

int SimDriver::read(FtHandle handle, void *buffer, quint32 size, quint32 *received)
{
    *received = 0;
    return onDevice(handle, [=](SimDevice &device, quintptr id) {
        return device.read(id, buffer, size, received);
    });
}

int SimDriver::write(FtHandle handle, const void *buffer, quint32 size, quint32 *written)
{
    *written = 0;
    return onDevice(handle, [=](SimDevice &device, quintptr id) {
        return device.write(id, buffer, size, written);
    });
}

int SimDriver::stopInTask(FtHandle handle)
{
    return onDevice(handle, [](SimDevice &device, quintptr id) { return device.check(id); });
}

std::vector<SimDevice *> SimDriver::allDevices() const
{
    const std::lock_guard<std::mutex> lock(devicesMutex);
    std::vector<SimDevice *> all;
    all.reserve(devices.size());
    for (const std::unique_ptr<SimDevice> &device : devices)
        all.push_back(device.get());
    return all;
}

void SimDriver::wakeScheduler()
{
    {
        const std::lock_guard<std::mutex> lock(schedulerMutex);
        kicked = true;
    }
    schedulerWake.notify_one();
}

void SimDriver::runScheduler()
{
    for (;;) {
        {
            const std::lock_guard<std::mutex> lock(schedulerMutex);
            if (stopping)
                return;
            kicked = false;
        }
        SimDevice::Clock::time_point next = SimDevice::Clock::time_point::max();
        for (SimDevice *device : allDevices())
            next = std::min(next, device->advance());
        std::unique_lock<std::mutex> lock(schedulerMutex);
        const auto woken = [this] { return kicked || stopping; };
        if (next == SimDevice::Clock::time_point::max())
            schedulerWake.wait(lock, woken);
        else
            schedulerWake.wait_until(lock, next, woken);
    }
}
