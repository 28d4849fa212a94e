#include "usb/autoresetevent.h"

#include <QDeadlineTimer>

void AutoResetEvent::set()
{
    QMutexLocker locker(&mutex);
    signalled = true;
    condition.wakeOne();
}

bool AutoResetEvent::wait(int msecs)
{
    QMutexLocker locker(&mutex);
    QDeadlineTimer deadline(msecs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                      : QDeadlineTimer(msecs, Qt::PreciseTimer));
    while (!signalled) {
        if (!condition.wait(&mutex, deadline))
            break;
    }
    const bool wasSignalled = signalled;
    signalled = false;
    return wasSignalled;
}
