#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// What the command line asks for. parse() fills it and says whether the line made sense; the
// text for --help comes from helpText().
struct CliOptions
{
    enum Command
    {
        NoCommand,
        Info,
        Read,
        Write,
        AutoWrite,
        Update,
        Verify,
        Erase,
        BlankCheck,
        Hash,
        UpgradeFirmware,
    };

    // How the blocks of an operation are chosen.
    enum Extent
    {
        // The image extent: from the image directory of the file or of the chip, or the whole
        // chip for the commands that have no image.
        Automatic,
        WholeChip,
        // The blocks of --blocks.
        Listed,
    };

    Command command = NoCommand;
    QString file;
    int device = 0;
    bool ecc = true;
    Extent extent = Automatic;
    QList<int> blocks;
    // Block numbers are physical ones: bad blocks are not skipped (read, verify, hash).
    bool physical = false;
    // Blocks past the end of FILE count as 0xFF (write, auto-write, verify).
    bool pad = false;
    bool quiet = false;
    bool json = false;
    bool help = false;
    bool version = false;

    // False, with `*error` saying what is wrong, for an unknown command or option, a missing or
    // surplus argument, an option that does not apply to the command, or bad values.
    // `arguments` starts with the program name.
    bool parse(const QStringList &arguments, int blockCount, QString *error);

    // True for the commands that take FILE.
    bool needsFile() const;
    // True for the commands whose file is read into the buffer (all but `read`).
    bool loadsFile() const;

    static QString helpText();
};
