#pragma once

#include <QObject>
#include <atomic>

class QSocketNotifier;

// Turns SIGINT (Ctrl+C) and SIGTERM into the signal interrupted(), delivered by the event loop
// of the thread that created the watcher. The signal handler only writes the signal's number
// to a pipe, which is all it may safely do; the notifier on the other end brings the news into
// that thread. A second signal of the same kind ends the process as usual, for a program that
// no longer reacts. isInterrupted() and signalNumber() may be asked from any thread.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject *parent = nullptr);
    ~InterruptWatcher() override;

    bool isInterrupted() const { return signalSeen.load() != 0; }
    // SIGINT or SIGTERM, whichever came first; 0 before either.
    int signalNumber() const { return signalSeen.load(); }

signals:
    void interrupted();

private:
    void readPipe();

    QSocketNotifier *notifier = nullptr;
    std::atomic<int> signalSeen{0};
};
