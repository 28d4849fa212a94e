#include "cli/loggedoutput.h"

#include "cli/linefile.h"
#include "cli/plaintext.h"

LoggedOutput::LoggedOutput(SessionOutput &next, LineFile &log, const QString &prefix)
    : ForwardingOutput(next), file(log), prefix(prefix)
{}

void LoggedOutput::info(const QString &html)
{
    log(html);
    next.info(html);
}

void LoggedOutput::error(const QString &html)
{
    log(html);
    next.error(html);
}

void LoggedOutput::beginPhase(const QString &title, const QString &phase, int total)
{
    log(title);
    next.beginPhase(title, phase, total);
}

void LoggedOutput::endPhase(const QString &status)
{
    log(status);
    next.endPhase(status);
}

void LoggedOutput::log(const QString &html)
{
    for (const QString &line : plainText(html).split(QLatin1Char('\n')))
        file.writeLine(prefix + line);
}
