#pragma once

#include "sim/simdevice.h"
#include "usb/ftdidriver.h"

#include <QByteArray>
#include <array>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The simulated FTDI driver: a bus of SimDevice objects that the channel opens, reads and
// writes as it would real FTDI bridges. Devices are numbered in the order they were added;
// the listing (and open by index) counts only the devices that are plugged in.
//
// For tests it counts every call, remembers the most calls that were ever in progress at once
// on one handle, and fails chosen calls on request. A scheduler thread delivers timed
// arrivals and bus events when they are due, so a waiting channel wakes up without polling.
class SimDriver final : public FtdiDriver
{
public:
    // The USB description of a programmer.
    static constexpr char ProgrammerDescription[] = "NPX4 Flash Programmer";

    enum class Call
    {
        CreateDeviceInfoList,
        GetDeviceInfoList,
        Open,
        Close,
        ResetDevice,
        Purge,
        SetTimeouts,
        SetChars,
        SetUsbParameters,
        SetLatencyTimer,
        SetEventNotification,
        GetQueueStatus,
        GetStatus,
        Read,
        Write,
        StopInTask,
    };
    static constexpr int CallKinds = int(Call::StopInTask) + 1;

    // Starts with `programmers` programmers that have no device end.
    explicit SimDriver(int programmers = 0);
    ~SimDriver() override;
    SimDriver(const SimDriver &) = delete;
    SimDriver &operator=(const SimDriver &) = delete;

    // Adds a plugged-in device with a serial number of its own; returns its number.
    // `end` (not owned) may be null. Descriptions longer than 63 bytes are cut.
    int addDevice(const QByteArray &description, SimDeviceEnd *end = nullptr);
    int addProgrammer(SimDeviceEnd *end = nullptr);
    int deviceCount() const;
    SimDevice &device(int number) const;

    int calls(Call call) const;
    int totalCalls() const;
    // The most driver calls that were in progress at the same time on one handle.
    int maxOverlap() const;
    // Reads that asked for more bytes than had arrived (the vendor library would wait for
    // them up to the read time-out).
    int overlongReads() const;
    void resetStatistics();
    // The next `count` calls of kind `call` fail with `status` and do nothing else.
    void failNextCalls(Call call, int status, int count = 1);

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
    class CallScope;

    // Counts the call, applies an injected failure, finds the device that holds `handle`
    // and runs `op` on it.
    template <typename Op>
    int onDevice(Call call, FtHandle handle, Op op);
    std::vector<SimDevice *> allDevices() const;
    void wakeScheduler();
    void runScheduler();

    mutable std::mutex devicesMutex;
    std::vector<std::unique_ptr<SimDevice>> devices;
    std::vector<FtDeviceListInfoNode> listed;
    quintptr lastHandle = 0;

    mutable std::mutex statsMutex;
    std::array<int, CallKinds> counts{};
    int total = 0;
    int overlap = 0;
    int overlong = 0;
    std::map<quintptr, int> inFlight;
    struct Fault
    {
        int status = 0;
        int remaining = 0;
    };
    std::array<Fault, CallKinds> faults{};

    std::mutex schedulerMutex;
    std::condition_variable schedulerWake;
    bool kicked = false;
    bool stopping = false;
    std::thread scheduler;
};
