#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT (Ctrl+C) into the signal interrupted(), delivered by the event loop. The signal
// handler only writes a byte to a pipe, which is all it may safely do; the notifier on the
// other end brings the news into the main thread. A second SIGINT ends the process as usual,
// for a program that no longer reacts.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject *parent = nullptr);
    ~InterruptWatcher() override;

    bool isInterrupted() const { return interruptedOnce; }

signals:
    void interrupted();

private:
    void readPipe();

    QSocketNotifier *notifier = nullptr;
    bool interruptedOnce = false;
};
