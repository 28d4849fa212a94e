#include "support/answeringdeviceend.h"

#include "protocol/commands.h"
#include "sim/simframe.h"

#include <utility>

using namespace Npx4Protocol;

AnsweringDeviceEnd::AnsweringDeviceEnd(quint8 major, quint8 minor) : major(major), minor(minor) {}

void AnsweringDeviceEnd::onCommand(const QByteArray &command, Reply reply)
{
    QMutexLocker locker(&mutex);
    replies.insert(command, std::move(reply));
}

QByteArray AnsweringDeviceEnd::takeWritten()
{
    QMutexLocker locker(&mutex);
    return std::exchange(written, QByteArray());
}

void AnsweringDeviceEnd::received(const char *data, qint64 size, SimHostLink &link)
{
    QMutexLocker locker(&mutex);
    written.append(data, int(size));
    // The host writes every command frame in one piece; anything else (the boot loader
    // probe) goes unanswered, as a running firmware does.
    if (size != FrameSize || quint8(data[0]) != CommandMarker)
        return;
    const QByteArray command(data, PayloadSize);
    if (const auto reply = replies.constFind(command); reply != replies.constEnd())
        (*reply)(link);
    else if (quint8(data[1]) == CmdGetInfo)
        link.send(SimFrame::make(0x00, 0x00, 0x00, major, minor));
    else if (quint8(data[1]) != CmdFwUpgrade)
        link.send(SimFrame::make(0x00, 0x00, 0x00, 0x00, 0x00));
}
