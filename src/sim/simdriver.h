#pragma once

#include "sim/simdevice.h"
#include "usb/ftdidriver.h"

#include <QByteArray>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The simulated FTDI driver: a bus of SimDevice objects that the channel opens, reads and
// writes as it would real FTDI bridges. Devices are numbered in the order they were added;
// the listing (and open by index) counts only the devices that are plugged in. A scheduler thread
// delivers timed arrivals and bus events when they are due, so a waiting channel wakes up
// without polling.
class SimDriver final : public FtdiDriver
{
public:
    // The USB description of a programmer.
    static constexpr char ProgrammerDescription[] = "NPX4 Flash Programmer";

    SimDriver();
    ~SimDriver() override;
    SimDriver(const SimDriver &) = delete;
    SimDriver &operator=(const SimDriver &) = delete;

    // Adds a plugged-in device with a serial number of its own; returns its number.
    // `end` (not owned) may be null. Descriptions longer than 63 bytes are cut.
    int addDevice(const QByteArray &description, SimDeviceEnd *end = nullptr);
    int addProgrammer(SimDeviceEnd *end = nullptr);
    int deviceCount() const;
    SimDevice &device(int number) const;

    int createDeviceInfoList(quint32 *count) override;
    int getDeviceInfoList(FtDeviceListInfoNode *nodes, quint32 *count) override;
    int open(int index, FtHandle *handle) override;
    int close(FtHandle handle) override;
    int resetDevice(FtHandle handle) override;
    int purge(FtHandle handle, quint32 mask) override;
    int setTimeouts(FtHandle handle, quint32 readMs, quint32 writeMs) override;
    int setChars(FtHandle handle, quint8 eventChar, bool eventEnabled, quint8 errorChar,
                 bool errorEnabled) override;
    int setUsbParameters(FtHandle handle, quint32 inSize, quint32 outSize) override;
    int setLatencyTimer(FtHandle handle, quint8 ms) override;
    int setEventNotification(FtHandle handle, quint32 mask, AutoResetEvent *event) override;
    int getQueueStatus(FtHandle handle, quint32 *rxBytes) override;
    int getStatus(FtHandle handle, quint32 *rxBytes, quint32 *txBytes,
                  quint32 *eventStatus) override;
    int read(FtHandle handle, void *buffer, quint32 size, quint32 *received) override;
    int write(FtHandle handle, const void *buffer, quint32 size, quint32 *written) override;
    int stopInTask(FtHandle handle) override;

private:
    // Finds the device that holds `handle` and runs `op` on it.
    template <typename Op>
    int onDevice(FtHandle handle, Op op);
    std::vector<SimDevice *> allDevices() const;
    void wakeScheduler();
    void runScheduler();

    mutable std::mutex devicesMutex;
    std::vector<std::unique_ptr<SimDevice>> devices;
    std::vector<FtDeviceListInfoNode> listed;
    quintptr lastHandle = 0;

    std::mutex schedulerMutex;
    std::condition_variable schedulerWake;
    bool kicked = false;
    bool stopping = false;
    std::thread scheduler;
};
