#pragma once

#include <QString>

// The claim of one process on a simulated programmer, as the USB stack gives a real one to a
// single process: an exclusive advisory lock on the programmer's storage file, taken while the
// programmer is open. Another holder, in this process or another, sees it as opened elsewhere.
class SimOwnerLock
{
public:
    explicit SimOwnerLock(const QString &path);
    ~SimOwnerLock();
    SimOwnerLock(const SimOwnerLock &) = delete;
    SimOwnerLock &operator=(const SimOwnerLock &) = delete;

    // Takes the lock; false when someone else holds it (or the file cannot be opened).
    bool acquire();
    void release();
    // Someone else holds the lock now.
    bool heldElsewhere() const;

private:
    const QString path;
    int fd = -1; // open while the lock is held
};
