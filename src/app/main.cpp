#include "app/maindialog.h"
#include "app/startup.h"
#include "dialogs/badblkeditor.h"
#include "engine/blockrange.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

int main(int argc, char *argv[])
{
    // Done at static initialisation as well; calling it here also keeps the registration linked
    // in. Settings values and the engine's queued signals depend on it.
    registerBlockRangeTypes();
    QApplication application(argc, argv);
    setApplicationIdentity();
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath() +
                                     QStringLiteral("/Plugins"));

    // Missing translations are no error: the texts then stay in English.
    const QString localeName = QLocale::system().name();
    QTranslator toolkitTranslator;
    static_cast<void>(toolkitTranslator.load(QStringLiteral("qt_") + localeName,
                                             QLibraryInfo::path(QLibraryInfo::TranslationsPath)));
    QCoreApplication::installTranslator(&toolkitTranslator);
    QTranslator programTranslator;
    loadProgramTranslation(programTranslator, localeName, QCoreApplication::applicationDirPath());
    QCoreApplication::installTranslator(&programTranslator);

    MainDialog window;
    window.show();
    // The one editor through which the window shows chip information; it stays hidden until
    // then.
    BadBlkEditor badBlockEditor;

    // Locals end in reverse order: the editor, the window (which writes the settings), the
    // program's translator, the toolkit's translator, the application.
    return application.exec();
}
