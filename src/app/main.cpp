#include "app/commandline.h"
#include "app/maindialog.h"
#include "app/startup.h"
#include "app/version.h"
#include "dialogs/badblkeditor.h"
#include "engine/blockrange.h"
#include "usb/programmerbackend.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    // Done at static initialisation as well; calling it here also keeps the registration linked
    // in. Settings values and the engine's queued signals depend on it.
    registerBlockRangeTypes();
    // Help and version are printed without a window, so they work where no display is.
    const std::unique_ptr<QCoreApplication> application =
        CommandLine::printsOnly(argc, argv) ? std::make_unique<QCoreApplication>(argc, argv)
                                            : std::make_unique<QApplication>(argc, argv);
    setApplicationIdentity();
    QCoreApplication::setApplicationVersion(
        QStringLiteral("%1.%2.%3").arg(versionMajor()).arg(versionMinor()).arg(versionBuild()));
    // Links the window to the desktop entry (and its icon) on Wayland desktops.
    QGuiApplication::setDesktopFileName(QStringLiteral("npx4-prog"));
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

    CommandLine commandLine;
    if (!commandLine.process(*application))
        return 1;
    const ProgrammerBackend backend = ProgrammerBackend::fromEnvironment();
    const QString backendError = backend.install();
    if (!backendError.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(backendError));
        return 1;
    }

    MainDialog window(backend);
    window.show();
    if (!commandLine.file().isEmpty())
        window.loadFileAtStart(commandLine.file());
    // The one editor through which the window shows chip information; it stays hidden until
    // then.
    BadBlkEditor badBlockEditor;

    // Locals end in reverse order: the editor, the window (which writes the settings), the
    // program's translator, the toolkit's translator, the application.
    return application->exec();
}
