#include "cli/jsonprogress.h"

#include "cli/console.h"
#include "cli/plaintext.h"

#include <QJsonDocument>
#include <QJsonObject>

JsonProgress::JsonProgress(SessionOutput &next, const QString &serialNumber)
    : next(next), serialNumber(serialNumber)
{}

void JsonProgress::info(const QString &html)
{
    next.info(html);
}

void JsonProgress::error(const QString &html)
{
    next.error(html);
}

void JsonProgress::beginPhase(const QString &title, int minimum, int maximum)
{
    phase = plainText(title);
    this->minimum = minimum;
    this->maximum = maximum;
    next.beginPhase(title, minimum, maximum);
}

void JsonProgress::progress(int value)
{
    QJsonObject step{{QStringLiteral("phase"), phase},
                     {QStringLiteral("done"), value - minimum},
                     {QStringLiteral("total"), maximum - minimum}};
    if (!serialNumber.isEmpty())
        step.insert(QStringLiteral("programmer"), serialNumber);
    Console::write(stderr, QString::fromUtf8(QJsonDocument(step).toJson(QJsonDocument::Compact)) +
                               QLatin1Char('\n'));
}

void JsonProgress::endPhase(const QString &status)
{
    next.endPhase(status);
}

void JsonProgress::result(const QString &line)
{
    next.result(line);
}
