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
    if (translator.load(applicationDir + QDir::separator() + baseName))
        return true;
    // An installed program keeps its translations in the data folder of its prefix:
    // <prefix>/bin/npx4-prog finds them in <prefix>/share/npx4-prog/translations.
    return translator.load(baseName,
                           applicationDir + QStringLiteral("/../share/npx4-prog/translations"));
}
