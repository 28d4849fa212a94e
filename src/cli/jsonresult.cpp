#include "cli/jsonresult.h"

#include "cli/console.h"

#include <QJsonDocument>

QString jsonLine(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void printJson(QJsonObject object, int exitStatus)
{
    object.insert(QStringLiteral("exitStatus"), exitStatus);
    Console::write(stdout, jsonLine(object) + QLatin1Char('\n'));
}

void printJsonError(const QString &text, int exitStatus)
{
    printJson(QJsonObject{{QStringLiteral("error"), text}}, exitStatus);
}
