#include "usb/perfcounter.h"

#include <ctime>

qint64 PerfCounter::frequency()
{
    return 1000000000;
}

bool PerfCounter::read(qint64 *ticks)
{
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return false;
    *ticks = qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
    return true;
}
