#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>

// Measures a running operation from the amounts of data its phases report done: the time since
// it began, the current rate and the time left, and at its end the amount, the time and the
// average rate. An operation can run several phases (a directory read, then the read itself);
// the amounts of its phases add up.
class OperationMeter
{
    Q_DECLARE_TR_FUNCTIONS(OperationMeter)

public:
    // A phase of `totalBytes` begins; the first one since finish() starts the clock.
    void beginPhase(qint64 totalBytes);
    // `doneBytes` of the current phase's `totalBytes` are done.
    void setDone(qint64 doneBytes, qint64 totalBytes);
    bool isRunning() const { return running; }

    // "0:12 elapsed, 8.2 MB/s, 0:03 left" while an operation runs; the rate and the time left
    // once something is done.
    QString details() const;
    // Ends the operation (also one that moves no data, unmeasured) and describes it: "4.59 MB
    // in 5.1 s, 0.9 MB/s on average"; empty when nothing was done or no operation ran.
    QString finish();

private:
    // "m:ss", or "h:mm:ss" from an hour on.
    static QString duration(qint64 ms);
    // "4.2 s" below a minute, otherwise as duration().
    static QString seconds(qint64 ms);
    static QString rate(qint64 bytes, qint64 ms);

    bool running = false;
    QElapsedTimer clock;
    QElapsedTimer phaseClock;
    // Done in the phases before the current one.
    qint64 earlierBytes = 0;
    qint64 phaseDone = 0;
    qint64 phaseTotal = 0;
};
