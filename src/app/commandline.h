#pragma once

#include <QCoreApplication>
#include <QString>

// The program's command line: --help and --version, which print and end the program before any
// window opens, and an image file to load into the buffer at start.
class CommandLine
{
    Q_DECLARE_TR_FUNCTIONS(CommandLine)

public:
    // Whether the arguments ask for the help text or the version only: the program then needs
    // no window system.
    static bool printsOnly(int argc, char **argv);

    // Parses the application's arguments. Help and version are printed and end the process, as
    // does an unknown option (with an error). Returns false, after an error message, for
    // arguments that make no sense otherwise.
    bool process(const QCoreApplication &application);
    // The image file named on the command line; empty when none is.
    QString file() const { return imageFile; }

private:
    QString imageFile;
};
