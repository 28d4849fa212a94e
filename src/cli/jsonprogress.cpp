#include "cli/jsonprogress.h"

#include "cli/console.h"
#include "cli/jsonresult.h"

#include <QJsonObject>

JsonProgress::JsonProgress(SessionOutput &next, const QString &serialNumber)
    : ForwardingOutput(next), serialNumber(serialNumber)
{}

void JsonProgress::beginPhase(const QString &title, const QString &phase, int total)
{
    this->phase = phase;
    next.beginPhase(title, phase, total);
}

void JsonProgress::progress(int done, int total)
{
    if (phase.isEmpty())
        return;
    QJsonObject step{{QStringLiteral("phase"), phase},
                     {QStringLiteral("done"), done},
                     {QStringLiteral("total"), total}};
    if (!serialNumber.isEmpty())
        step.insert(QStringLiteral("programmer"), serialNumber);
    Console::write(stderr, jsonLine(step) + QLatin1Char('\n'));
}

void JsonProgress::endPhase(const QString &status)
{
    phase.clear();
    next.endPhase(status);
}
