#include "app/startup.h"

#include <QCoreApplication>
#include <QDir>
#include <QTranslator>

void setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Velmora"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("velmora.example"));
    QCoreApplication::setApplicationName(QStringLiteral("NPX4 Programmer"));
}

bool loadProgramTranslation(QTranslator &translator, const QString &localeName,
                            const QString &applicationDir)
{
    const QString baseName = QStringLiteral("npx4-prog_") + localeName;
    // A relative name is looked up in the working directory.
    if (translator.load(baseName))
        return true;
    return translator.load(applicationDir + QDir::separator() + baseName);
}
