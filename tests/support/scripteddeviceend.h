#pragma once

#include "sim/simdeviceend.h"

#include <QByteArray>
#include <QList>
#include <QMutex>

// A device end that follows a script: when the bytes the host wrote since the last scripted
// step end with a request, it answers or leaves the bus. It records everything the host
// wrote and how often it was resynchronised and reattached. Safe to inspect from any thread.
class ScriptedDeviceEnd : public SimDeviceEnd
{
public:
    // Sends `reply` (`delayMs` later) whenever the host has written `request`.
    void answer(const QByteArray &request, const QByteArray &reply, int delayMs = 0);
    // Leaves the bus whenever the host has written `request`; see SimHostLink::leaveBus().
    void leaveBusOn(const QByteArray &request, int returnAfterMs);

    QByteArray written() const;
    int resyncCount() const;
    int attachedCount() const;

    void received(const char *data, qint64 size, SimHostLink &link) override;
    void resync() override;
    void attached() override;

private:
    struct Step
    {
        QByteArray request;
        QByteArray reply;
        int delayMs;
        bool leave;
        int returnAfterMs;
    };

    mutable QMutex mutex;
    QList<Step> steps;
    QByteArray all;
    QByteArray pending;
    int resyncs = 0;
    int attaches = 0;
};
