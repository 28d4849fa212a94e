#include "support/scripteddeviceend.h"

void ScriptedDeviceEnd::answer(const QByteArray &request, const QByteArray &reply, int delayMs)
{
    QMutexLocker locker(&mutex);
    steps.append(Step{request, reply, delayMs, false, -1});
}

void ScriptedDeviceEnd::leaveBusOn(const QByteArray &request, int returnAfterMs)
{
    QMutexLocker locker(&mutex);
    steps.append(Step{request, QByteArray(), 0, true, returnAfterMs});
}

QByteArray ScriptedDeviceEnd::written() const
{
    QMutexLocker locker(&mutex);
    return all;
}

int ScriptedDeviceEnd::resyncCount() const
{
    QMutexLocker locker(&mutex);
    return resyncs;
}

int ScriptedDeviceEnd::attachedCount() const
{
    QMutexLocker locker(&mutex);
    return attaches;
}

void ScriptedDeviceEnd::received(const char *data, qint64 size, SimHostLink &link)
{
    QMutexLocker locker(&mutex);
    all.append(data, size);
    pending.append(data, size);
    for (const Step &step : std::as_const(steps)) {
        if (!pending.endsWith(step.request))
            continue;
        pending.clear();
        if (step.leave)
            link.leaveBus(step.returnAfterMs);
        else
            link.sendAfter(step.delayMs, step.reply);
        return;
    }
}

void ScriptedDeviceEnd::resync()
{
    QMutexLocker locker(&mutex);
    ++resyncs;
    pending.clear();
}

void ScriptedDeviceEnd::attached()
{
    QMutexLocker locker(&mutex);
    ++attaches;
    pending.clear();
}
