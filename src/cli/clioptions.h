#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// What the command line asks for. parse() fills it and says whether the line made sense; the
// text for --help and COMMAND --help comes from helpText().
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
        List,
        Test,
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
    // "-" stands for standard input or output.
    QString file;
    int device = 0;
    // --device all: every free programmer.
    bool allDevices = false;
    QStringList serials;
    QString report;
    QString log;
    bool verbose = false;
    bool progressJson = false;
    bool ecc = true;
    Extent extent = Automatic;
    QList<int> blocks;
    // Block numbers are physical ones: bad blocks are not skipped (read, verify, hash).
    bool physical = false;
    // Blocks past the end of FILE count as 0xFF (write, auto-write, verify).
    bool pad = false;
    // Of test: each block is read first and written back at its end; failing blocks are
    // marked bad.
    bool keep = false;
    bool markBad = false;
    // Writes go on over a chip whose ID says another geometry.
    bool forceGeometry = false;
    // The most bad blocks a chip may have to be written; -1 for the chip's datasheet limit.
    int maxBad = -1;
    // Reads of each block; 1: once.
    int repeat = 1;
    static constexpr int MaxRepeat = 15;
    // Flipped bits a verify without ECC allows per page.
    int maxBitflips = 0;
    // Of write: no read-back. Of writes: blank blocks programmed too. Of update: compare data.
    bool noVerify = false;
    bool programBlank = false;
    bool compare = false;
    // Of verify: the file that gets one line per differing block.
    QString diff;
    bool quiet = false;
    bool json = false;
    bool help = false;
    bool version = false;
    // The programmer backend --programmer names; without it, start-up goes by NPX4_SIMULATOR.
    std::optional<QString> programmer;

    // False, with `*error` saying what is wrong, for an unknown command or option, a missing or
    // surplus argument, an option that does not apply to the command, or bad values.
    // `arguments` starts with the program name.
    bool parse(const QStringList &arguments, int blockCount, QString *error);

    // True when the command runs on several programmers at once.
    bool isGang() const { return allDevices || serials.size() > 1; }
    // The command's name as typed.
    QString commandName() const;

    // True for the commands that take FILE.
    bool needsFile() const;
    // True for the commands whose file is read into the buffer (all but `read`).
    bool loadsFile() const;

    // The program's help, or with a command that command's usage and options.
    static QString helpText(Command command = NoCommand);
};
