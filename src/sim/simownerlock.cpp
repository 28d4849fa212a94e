#include "sim/simownerlock.h"

#include <QFile>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// A descriptor holding the lock on `path`, or -1 when it is held elsewhere.
int lockedDescriptor(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

SimOwnerLock::SimOwnerLock(const QString &path) : path(path) {}

SimOwnerLock::~SimOwnerLock()
{
    release();
}

bool SimOwnerLock::acquire()
{
    if (fd < 0)
        fd = lockedDescriptor(path);
    return fd >= 0;
}

void SimOwnerLock::release()
{
    if (fd < 0)
        return;
    ::close(fd); // closing the descriptor drops its lock
    fd = -1;
}

bool SimOwnerLock::heldElsewhere() const
{
    if (fd >= 0)
        return false;
    const int probe = lockedDescriptor(path);
    if (probe < 0)
        return true;
    ::close(probe);
    return false;
}
