#pragma once

#include "sim/simdeviceend.h"

#include <QByteArray>
#include <QMap>
#include <QMutex>
#include <functional>

// A minimal programmer: it answers every command frame the host writes with a success answer
// (the information command with the firmware version given), sends nothing else, and records
// every byte the host wrote. A test takes over single commands to shape their answers and
// data phases byte by byte. Safe to use from any thread.
class AnsweringDeviceEnd : public SimDeviceEnd
{
public:
    using Reply = std::function<void(SimHostLink &link)>;

    explicit AnsweringDeviceEnd(quint8 major = 1, quint8 minor = 5);

    // Runs `reply` instead of the success answer for the command with these five bytes.
    void onCommand(const QByteArray &command, Reply reply);
    // What the host wrote since the last call.
    QByteArray takeWritten();

    void received(const char *data, qint64 size, SimHostLink &link) override;

private:
    const quint8 major;
    const quint8 minor;
    QMutex mutex;
    QMap<QByteArray, Reply> replies;
    QByteArray written;
};
