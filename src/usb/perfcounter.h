#pragma once

#include <QtGlobal>

// A monotonic high-resolution counter, read in ticks, for waits that are too short for the
// operating system's timed waits.
class PerfCounter
{
public:
    // Ticks per second.
    static qint64 frequency();
    // Reads the counter; false when it cannot be read.
    static bool read(qint64 *ticks);
};
