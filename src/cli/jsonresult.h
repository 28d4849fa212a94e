#pragma once

#include <QJsonObject>
#include <QString>

// The object as one compact JSON line, without the line break.
QString jsonLine(const QJsonObject &object);
// Prints `object` with its "exitStatus" on stdout, one line.
void printJson(QJsonObject object, int exitStatus);
// Prints {"error": text, "exitStatus": status} on stdout.
void printJsonError(const QString &text, int exitStatus);
