#pragma once

#include "sim/simdriver.h"

#include <array>
#include <functional>
#include <mutex>

// The process's FTDI driver for its lifetime, in front of a simulated bus (a SimDriver of the
// test's own, or the driver of a SimProgrammerSet): it counts the calls of the kinds tests look at
// and the reads that asked for more bytes than had arrived, and fails chosen calls on request.
// Channels that use it must be gone before it is.
class CountingDriver final : public FtdiDriver
{
public:
    enum class Call
    {
        Open,
        Close,
        GetQueueStatus,
        Read,
        Write,
    };

    explicit CountingDriver(SimDriver &inner);
    ~CountingDriver() override;

    int calls(Call call) const;
    // Reads that asked for more bytes than had arrived, which the vendor library waits for.
    int overlongReads() const;
    // The next `count` calls of kind `call` fail with `status` and do nothing else.
    void failNextCalls(Call call, int status, int count = 1);

    int createDeviceInfoList(quint32 *count) override { return inner.createDeviceInfoList(count); }
    int getDeviceInfoList(FtDeviceListInfoNode *nodes, quint32 *count) override
    {
        return inner.getDeviceInfoList(nodes, count);
    }
    int open(int index, FtHandle *handle) override
    {
        return counted(Call::Open, [&] { return inner.open(index, handle); });
    }
    int close(FtHandle handle) override
    {
        return counted(Call::Close, [&] { return inner.close(handle); });
    }
    int resetDevice(FtHandle handle) override { return inner.resetDevice(handle); }
    int purge(FtHandle handle, quint32 mask) override { return inner.purge(handle, mask); }
    int setTimeouts(FtHandle handle, quint32 readMs, quint32 writeMs) override
    {
        return inner.setTimeouts(handle, readMs, writeMs);
    }
    int setChars(FtHandle handle, quint8 eventChar, bool eventEnabled, quint8 errorChar,
                 bool errorEnabled) override
    {
        return inner.setChars(handle, eventChar, eventEnabled, errorChar, errorEnabled);
    }
    int setUsbParameters(FtHandle handle, quint32 inSize, quint32 outSize) override
    {
        return inner.setUsbParameters(handle, inSize, outSize);
    }
    int setLatencyTimer(FtHandle handle, quint8 ms) override
    {
        return inner.setLatencyTimer(handle, ms);
    }
    int setEventNotification(FtHandle handle, quint32 mask, AutoResetEvent *event) override
    {
        return inner.setEventNotification(handle, mask, event);
    }
    int getQueueStatus(FtHandle handle, quint32 *rxBytes) override
    {
        return counted(Call::GetQueueStatus, [&] { return inner.getQueueStatus(handle, rxBytes); });
    }
    int getStatus(FtHandle handle, quint32 *rxBytes, quint32 *txBytes,
                  quint32 *eventStatus) override
    {
        return inner.getStatus(handle, rxBytes, txBytes, eventStatus);
    }
    int read(FtHandle handle, void *buffer, quint32 size, quint32 *received) override;
    int write(FtHandle handle, const void *buffer, quint32 size, quint32 *written) override
    {
        return counted(Call::Write, [&] { return inner.write(handle, buffer, size, written); });
    }
    int stopInTask(FtHandle handle) override { return inner.stopInTask(handle); }

private:
    // Counts a call of kind `call` and runs `op`, unless the call is to fail.
    int counted(Call call, const std::function<int()> &op);

    static constexpr size_t Kinds = size_t(Call::Write) + 1;

    SimDriver &inner;
    mutable std::mutex mutex;
    std::array<int, Kinds> callCounts{}, failuresLeft{}, failStatuses{};
    int overlong = 0;
};
