#pragma once

#include <QMutex>
#include <QWaitCondition>

// An event object that resets itself when a wait consumes it, like the operating-system event
// the FTDI driver signals when characters arrive. Setting it while nobody waits leaves it
// signalled, so the next wait returns at once.
class AutoResetEvent
{
public:
    void set();
    // Waits up to `msecs` ms for the event; a negative limit waits forever and 0 only tests it.
    // Returns true when the event was signalled, and resets it.
    bool wait(int msecs);

private:
    QMutex mutex;
    QWaitCondition condition;
    bool signalled = false;
};
