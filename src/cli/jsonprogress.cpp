#include "cli/jsonprogress.h"

#include "cli/console.h"
#include "cli/jsonresult.h"
#include "cli/plaintext.h"

#include <QJsonObject>

JsonProgress::JsonProgress(SessionOutput &next, const QString &serialNumber)
    : ForwardingOutput(next), serialNumber(serialNumber)
{}

void JsonProgress::beginPhase(const QString &title, int minimum, int maximum)
{
    phase = plainText(title);
    this->minimum = minimum;
    this->maximum = maximum;
    next.beginPhase(title, minimum, maximum);
}

void JsonProgress::progress(int value)
{
    // The engine resets the progress when it takes a request, before the phase begins.
    if (phase.isEmpty())
        return;
    QJsonObject step{{QStringLiteral("phase"), phase},
                     {QStringLiteral("done"), value - minimum},
                     {QStringLiteral("total"), maximum - minimum}};
    if (!serialNumber.isEmpty())
        step.insert(QStringLiteral("programmer"), serialNumber);
    Console::write(stderr, jsonLine(step) + QLatin1Char('\n'));
}

void JsonProgress::endPhase(const QString &status)
{
    phase.clear();
    next.endPhase(status);
}
