#include "support/countingdriver.h"

CountingDriver::CountingDriver(SimDriver &inner) : inner(inner)
{
    FtdiDriver::install(this);
}

CountingDriver::~CountingDriver()
{
    FtdiDriver::install(nullptr);
}

int CountingDriver::calls(Call call) const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return callCounts[size_t(call)];
}

int CountingDriver::overlongReads() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return overlong;
}

void CountingDriver::failNextCalls(Call call, int status, int count)
{
    const std::lock_guard<std::mutex> lock(mutex);
    failuresLeft[size_t(call)] = count;
    failStatuses[size_t(call)] = status;
}

int CountingDriver::counted(Call call, const std::function<int()> &op)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        const size_t kind = size_t(call);
        ++callCounts[kind];
        if (failuresLeft[kind] > 0) {
            --failuresLeft[kind];
            return failStatuses[kind];
        }
    }
    return op();
}

int CountingDriver::read(FtHandle handle, void *buffer, quint32 size, quint32 *received)
{
    const int status =
        counted(Call::Read, [&] { return inner.read(handle, buffer, size, received); });
    if (status == FtOk && *received < size) {
        const std::lock_guard<std::mutex> lock(mutex);
        ++overlong;
    }
    return status;
}
