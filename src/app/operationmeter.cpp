#include "app/operationmeter.h"

#include <QLocale>

void OperationMeter::beginPhase(qint64 totalBytes)
{
    if (!running) {
        running = true;
        clock.start();
        earlierBytes = 0;
    } else {
        earlierBytes += phaseDone;
    }
    phaseClock.start();
    phaseDone = 0;
    phaseTotal = totalBytes;
}

void OperationMeter::setDone(qint64 doneBytes, qint64 totalBytes)
{
    phaseDone = qBound<qint64>(0, doneBytes, totalBytes);
    phaseTotal = totalBytes;
}

QString OperationMeter::details() const
{
    if (!running)
        return QString();
    const QString elapsed = duration(clock.elapsed());
    const qint64 phaseMs = phaseClock.elapsed();
    if (phaseDone <= 0 || phaseMs <= 0)
        return tr("%1 elapsed").arg(elapsed);
    const qint64 leftMs = (phaseTotal - phaseDone) * phaseMs / phaseDone;
    return tr("%1 elapsed, %2 MB/s, %3 left")
        .arg(elapsed, rate(phaseDone, phaseMs), duration(leftMs));
}

QString OperationMeter::finish()
{
    if (!running)
        return QString();
    running = false;
    const qint64 bytes = earlierBytes + phaseDone;
    if (bytes <= 0)
        return QString();
    const qint64 ms = clock.elapsed();
    return tr("%1 in %2, %3 MB/s on average")
        .arg(QLocale().formattedDataSize(bytes, 2, QLocale::DataSizeSIFormat), seconds(ms),
             rate(bytes, qMax<qint64>(ms, 1)));
}

QString OperationMeter::duration(qint64 ms)
{
    // Whole seconds, rounded up so that a last second left does not show as 0:00.
    const qint64 seconds = (ms + 999) / 1000;
    const QLatin1Char zero('0');
    if (seconds < 3600)
        return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, zero);
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, zero)
        .arg(seconds % 60, 2, 10, zero);
}

QString OperationMeter::seconds(qint64 ms)
{
    if (ms >= 60000)
        return duration(ms);
    return tr("%1 s").arg(QLocale().toString(double(ms) / 1000.0, 'f', 1));
}

QString OperationMeter::rate(qint64 bytes, qint64 ms)
{
    // Bytes per millisecond are kilobytes per second: a thousandth of that is MB/s.
    return QLocale().toString(double(bytes) / double(ms) / 1000.0, 'f', 1);
}
