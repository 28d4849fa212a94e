#include "app/commandline.h"

#include <QCommandLineParser>
#include <cstdio>

bool CommandLine::printsOnly(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const QLatin1String argument(argv[i]);
        if (argument == QLatin1String("--"))
            return false;
        for (const char *option : {"-h", "--help", "-?", "--help-all", "-v", "--version"}) {
            if (argument == QLatin1String(option))
                return true;
        }
    }
    return false;
}

bool CommandLine::process(const QCoreApplication &application)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(tr("Desktop tool for the NPX4 USB NAND flash programmer."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(tr("file"), tr("Image file to load into the buffer at start."),
                                 tr("[file]"));
    parser.process(application);
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        std::fprintf(stderr, "%s\n",
                     qPrintable(tr("Only one file can be loaded into the buffer: %1")
                                    .arg(files.join(QLatin1String(", ")))));
        return false;
    }
    imageFile = files.value(0);
    return true;
}
