#include "cli/clioptions.h"

#include "cli/blocktext.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("CliOptions", text);
}

// Bits of commands, for the options a command takes.
constexpr unsigned bit(CliOptions::Command command)
{
    return 1u << command;
}

constexpr unsigned AllCommands = ~0u;
constexpr unsigned DeviceCommands = AllCommands & ~bit(CliOptions::List);
constexpr unsigned BlockCommands = bit(CliOptions::Read) | bit(CliOptions::Write) |
                                   bit(CliOptions::AutoWrite) | bit(CliOptions::Verify) |
                                   bit(CliOptions::Erase) | bit(CliOptions::BlankCheck) |
                                   bit(CliOptions::Hash) | bit(CliOptions::Test);
constexpr unsigned PhysicalCommands =
    bit(CliOptions::Read) | bit(CliOptions::Verify) | bit(CliOptions::Hash);
constexpr unsigned PadCommands =
    bit(CliOptions::Write) | bit(CliOptions::AutoWrite) | bit(CliOptions::Verify);
constexpr unsigned TransferCommands =
    (BlockCommands & ~bit(CliOptions::Erase)) | bit(CliOptions::Update);

struct CommandName
{
    const char *name;
    CliOptions::Command command;
    const char *summary;
};

constexpr CommandName CommandNames[] = {
    {"list", CliOptions::List, "the attached programmers: serial number, state, firmware"},
    {"info", CliOptions::Info, "programmer firmware, chip name and bad blocks"},
    {"read", CliOptions::Read, "read the image on the chip (or --blocks, --all) into FILE"},
    {"write", CliOptions::Write, "program the image in FILE"},
    {"auto-write", CliOptions::AutoWrite, "erase, program and verify block by block"},
    {"update", CliOptions::Update, "rewrite only the parts of the image that changed"},
    {"verify", CliOptions::Verify, "compare the chip with FILE"},
    {"erase", CliOptions::Erase, "erase the whole chip (or --blocks)"},
    {"blank-check", CliOptions::BlankCheck, "check that the chip (or --blocks) is erased"},
    {"hash", CliOptions::Hash, "CRC32, MD5 and SHA1 of the image on the chip (or --blocks, --all)"},
    {"test", CliOptions::Test,
     "test the surface of the chip (or --blocks): erase, write, read back, compare"},
    {"upgrade-firmware", CliOptions::UpgradeFirmware,
     "load the built-in firmware into the programmer"},
};

const CommandName *entryOf(CliOptions::Command command)
{
    for (const CommandName &entry : CommandNames) {
        if (entry.command == command)
            return &entry;
    }
    return nullptr;
}

CliOptions::Command commandNamed(const QString &name)
{
    for (const CommandName &entry : CommandNames) {
        if (name == QLatin1String(entry.name))
            return entry.command;
    }
    return CliOptions::NoCommand;
}

const QCommandLineOption DeviceOption(
    QStringLiteral("device"),
    QStringLiteral("Use the N-th free programmer (from 0), or \"all\" of them at once."),
    QStringLiteral("N|all"));
const QCommandLineOption SerialOption(
    QStringLiteral("serial"),
    QStringLiteral("Use the programmer with serial number S; given several times, all of them "
                   "at once."),
    QStringLiteral("S"));
const QCommandLineOption NoEccOption(QStringLiteral("no-ecc"),
                                     QStringLiteral("Transfer blocks without the host's ECC."));
const QCommandLineOption
    BlocksOption(QStringLiteral("blocks"),
                 QStringLiteral("Work on these blocks only, e.g. \"0...99, 200\"."),
                 QStringLiteral("RANGES"));
const QCommandLineOption AllOption(QStringLiteral("all"),
                                   QStringLiteral("Work on the whole chip."));
const QCommandLineOption
    PhysicalOption(QStringLiteral("physical"),
                   QStringLiteral("Work on physical blocks: bad blocks are not skipped; they are "
                                  "not read and count as 0xFF (read, verify, hash)."));
const QCommandLineOption
    PadOption(QStringLiteral("pad"),
              QStringLiteral("Let --blocks or --all reach past the end of FILE, which counts as "
                             "0xFF there (write, auto-write, verify)."));
const QCommandLineOption
    KeepOption(QStringLiteral("keep"),
               QStringLiteral("Read each block first and write it back after its test (test)."));
const QCommandLineOption MarkBadOption(QStringLiteral("mark-bad"),
                                       QStringLiteral("Mark the blocks that fail bad (test)."));
const QCommandLineOption
    ForceGeometryOption(QStringLiteral("force-geometry"),
                        QStringLiteral("Write also to a chip whose ID says another geometry than "
                                       "1 Gbit x8 with 2048-byte pages."));
const QCommandLineOption
    MaxBadOption(QStringLiteral("max-bad"),
                 QStringLiteral("Refuse to write a chip with more than N bad blocks (default: "
                                "the limit of the chip's datasheet, where the chip is known)."),
                 QStringLiteral("N"));
const QCommandLineOption QuietOption({QStringLiteral("q"), QStringLiteral("quiet")},
                                     QStringLiteral("Show errors and results only."));
const QCommandLineOption
    VerboseOption({QStringLiteral("v"), QStringLiteral("verbose")},
                  QStringLiteral("Show the diagnostic lines of every subsystem on stderr."));
const QCommandLineOption JsonOption(
    QStringLiteral("json"),
    QStringLiteral("Print the result, or the error and exit status, as JSON on stdout."));
const QCommandLineOption
    ProgressOption(QStringLiteral("progress"),
                   QStringLiteral("\"json\": one JSON line per progress step on stderr."),
                   QStringLiteral("FORMAT"));
const QCommandLineOption
    ReportOption(QStringLiteral("report"),
                 QStringLiteral("Append one JSON line per chip and command to FILE."),
                 QStringLiteral("FILE"));
const QCommandLineOption LogOption(QStringLiteral("log"),
                                   QStringLiteral("Write the full log in plain text to FILE."),
                                   QStringLiteral("FILE"));
const QCommandLineOption ProgrammerOption(
    QStringLiteral("programmer"),
    QStringLiteral("Run on NAME: \"usb\" (real programmers), \"sim\" or \"sim:KEYS\" (simulated "
                   "ones, KEYS as NPX4_SIMULATOR takes them). Default: \"sim:$NPX4_SIMULATOR\" "
                   "when that is set, else \"usb\"."),
    QStringLiteral("NAME"));
const QCommandLineOption
    RepeatOption(QStringLiteral("repeat"),
                 QStringLiteral("Read each block N times and keep the majority of every byte; "
                                "blocks whose reads differ are listed, one without a majority "
                                "fails (read, hash, verify)."),
                 QStringLiteral("N"));
const QCommandLineOption MaxBitflipsOption(
    QStringLiteral("max-bitflips"),
    QStringLiteral("Without ECC, allow up to N flipped bits per 2048-byte page and count them "
                   "(verify)."),
    QStringLiteral("N"));
const QCommandLineOption
    NoVerifyOption(QStringLiteral("no-verify"),
                   QStringLiteral("Do not read back the blocks written (write)."));
const QCommandLineOption ProgramBlankOption(
    QStringLiteral("program-blank"),
    QStringLiteral("Program blocks of all 0xFF too instead of leaving them erased."));
const QCommandLineOption
    CompareOption(QStringLiteral("compare"),
                  QStringLiteral("Read every image block and rewrite only those that differ, "
                                 "whatever the image directories say (update)."));
const QCommandLineOption
    DiffOption(QStringLiteral("diff"),
               QStringLiteral("Write one line per differing block to FILE (verify)."),
               QStringLiteral("FILE"));
const QCommandLineOption HelpOption({QStringLiteral("h"), QStringLiteral("help")},
                                    QStringLiteral("Show this help; after a command, its "
                                                   "options."));
const QCommandLineOption VersionOption({QStringLiteral("V"), QStringLiteral("version")},
                                       QStringLiteral("Show the program version."));

struct OptionUse
{
    const QCommandLineOption *option;
    unsigned commands;
};

const OptionUse Options[] = {
    {&DeviceOption, DeviceCommands},
    {&SerialOption, DeviceCommands},
    {&BlocksOption, BlockCommands},
    {&AllOption, BlockCommands},
    {&PhysicalOption, PhysicalCommands},
    {&PadOption, PadCommands},
    {&NoEccOption, TransferCommands},
    {&JsonOption, AllCommands},
    {&ProgressOption, DeviceCommands},
    {&ReportOption, DeviceCommands},
    {&LogOption, DeviceCommands},
    {&QuietOption, AllCommands},
    {&VerboseOption, AllCommands},
    {&ProgrammerOption, AllCommands},
    {&HelpOption, AllCommands},
    {&VersionOption, AllCommands},
    {&KeepOption, bit(CliOptions::Test)},
    {&MarkBadOption, bit(CliOptions::Test)},
    {&ForceGeometryOption, DeviceCommands},
    {&MaxBadOption, DeviceCommands},
    {&RepeatOption, bit(CliOptions::Read) | bit(CliOptions::Hash) | bit(CliOptions::Verify)},
    {&MaxBitflipsOption, bit(CliOptions::Verify)},
    {&NoVerifyOption, bit(CliOptions::Write)},
    {&ProgramBlankOption,
     bit(CliOptions::Write) | bit(CliOptions::AutoWrite) | bit(CliOptions::Update)},
    {&CompareOption, bit(CliOptions::Update)},
    {&DiffOption, bit(CliOptions::Verify)},
};

// The options of `command`; all of them without one.
void addOptions(QCommandLineParser &parser, CliOptions::Command command = CliOptions::NoCommand)
{
    for (const OptionUse &use : Options) {
        if (command == CliOptions::NoCommand || (use.commands & bit(command)) != 0)
            parser.addOption(*use.option);
    }
}

// The first option set on the line that `command` does not take, or an empty text.
QString unusableOption(const QCommandLineParser &parser, CliOptions::Command command)
{
    for (const OptionUse &use : Options) {
        if ((use.commands & bit(command)) == 0 && parser.isSet(*use.option))
            return use.option->names().constLast();
    }
    return {};
}

} // namespace

bool CliOptions::needsFile() const
{
    return command == Read || loadsFile();
}

bool CliOptions::loadsFile() const
{
    return command == Write || command == AutoWrite || command == Update || command == Verify;
}

QString CliOptions::commandName() const
{
    const CommandName *entry = entryOf(command);
    return entry ? QString::fromLatin1(entry->name) : QString();
}

bool CliOptions::parse(const QStringList &arguments, int blockCount, QString *error)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    addOptions(parser);
    // Known before the line is understood: a usage error is reported as JSON too.
    json = arguments.contains(QStringLiteral("--json"));
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    help = parser.isSet(HelpOption);
    version = parser.isSet(VersionOption);
    QStringList positional = parser.positionalArguments();
    if (help && !positional.isEmpty())
        command = commandNamed(positional.first());
    if (help || version)
        return true;

    if (positional.isEmpty()) {
        *error = tr("No command given");
        return false;
    }
    const QString name = positional.takeFirst();
    command = commandNamed(name);
    if (command == NoCommand) {
        *error = tr("Unknown command \"%1\"").arg(name);
        return false;
    }
    if (needsFile()) {
        if (positional.isEmpty()) {
            *error = tr("The command \"%1\" needs a FILE").arg(name);
            return false;
        }
        file = positional.takeFirst();
    }
    if (!positional.isEmpty()) {
        *error = tr("Unexpected argument \"%1\"").arg(positional.first());
        return false;
    }
    const QString unusable = unusableOption(parser, command);
    if (!unusable.isEmpty()) {
        *error = tr("The command \"%1\" takes no --%2").arg(name, unusable);
        return false;
    }

    serials = parser.values(SerialOption);
    if (parser.isSet(DeviceOption)) {
        const QString value = parser.value(DeviceOption);
        bool ok = false;
        allDevices = value == QLatin1String("all");
        device = allDevices ? 0 : value.toInt(&ok);
        if (!allDevices && (!ok || device < 0)) {
            *error =
                tr("--device needs a programmer number from 0 or \"all\", not \"%1\"").arg(value);
            return false;
        }
        if (!serials.isEmpty()) {
            *error = tr("--device and --serial exclude each other");
            return false;
        }
    }
    if (serials.removeDuplicates() > 0 || serials.contains(QString())) {
        *error = tr("--serial needs distinct, non-empty serial numbers");
        return false;
    }
    if (isGang() && command == Read) {
        *error = tr("read saves one file: it takes one programmer");
        return false;
    }
    if (parser.isSet(ProgrammerOption))
        programmer = parser.value(ProgrammerOption);
    ecc = !parser.isSet(NoEccOption);
    quiet = parser.isSet(QuietOption);
    verbose = parser.isSet(VerboseOption);
    report = parser.value(ReportOption);
    log = parser.value(LogOption);
    if (parser.isSet(ProgressOption)) {
        progressJson = parser.value(ProgressOption) == QLatin1String("json");
        if (!progressJson) {
            *error =
                tr("--progress takes \"json\" only, not \"%1\"").arg(parser.value(ProgressOption));
            return false;
        }
    }

    const QString standardStream = QStringLiteral("-");
    const int stdoutUsers = int(json) + int(command == Read && file == standardStream) +
                            int(report == standardStream) + int(log == standardStream);
    if (stdoutUsers > 1) {
        *error = tr("Only one of --json, --report -, --log - and read's FILE - can use "
                    "standard output");
        return false;
    }

    const bool listed = parser.isSet(BlocksOption);
    if (listed && parser.isSet(AllOption)) {
        *error = tr("--blocks and --all exclude each other");
        return false;
    }
    physical = parser.isSet(PhysicalOption);
    if (listed) {
        QString reason;
        if (!parseBlockList(parser.value(BlocksOption), blockCount, &blocks, &reason)) {
            *error = tr("Bad --blocks: %1").arg(reason);
            return false;
        }
        extent = Listed;
    } else if (parser.isSet(AllOption) || physical) {
        // A physical dump has no image extent to go by.
        extent = WholeChip;
    }
    keep = parser.isSet(KeepOption);
    markBad = parser.isSet(MarkBadOption);
    forceGeometry = parser.isSet(ForceGeometryOption);
    // A number option within [low, high] into `*value`, when given.
    const auto number = [&](const QCommandLineOption &option, int low, int high, int *value) {
        if (!parser.isSet(option))
            return true;
        bool ok = false;
        *value = parser.value(option).toInt(&ok);
        if (ok && *value >= low && *value <= high)
            return true;
        *error = tr("--%1 needs a number from %2 to %3, not \"%4\"")
                     .arg(option.names().constLast())
                     .arg(low)
                     .arg(high)
                     .arg(parser.value(option));
        return false;
    };
    if (!number(MaxBadOption, 0, blockCount, &maxBad) ||
        !number(RepeatOption, 2, MaxRepeat, &repeat) ||
        !number(MaxBitflipsOption, 0, 2048 * 8, &maxBitflips))
        return false;
    noVerify = parser.isSet(NoVerifyOption);
    programBlank = parser.isSet(ProgramBlankOption);
    compare = parser.isSet(CompareOption);
    diff = parser.value(DiffOption);
    pad = parser.isSet(PadOption);
    if (pad && extent == Automatic) {
        *error = tr("--pad applies to write, auto-write and verify with --blocks or --all");
        return false;
    }
    return true;
}

QString CliOptions::helpText(Command command)
{
    QCommandLineParser parser;
    addOptions(parser, command);
    if (const CommandName *entry = entryOf(command)) {
        CliOptions options;
        options.command = command;
        parser.setApplicationDescription(
            QStringLiteral("npx4-cli %1: %2.")
                .arg(QLatin1String(entry->name), QLatin1String(entry->summary)));
        parser.addPositionalArgument(QLatin1String(entry->name), QString());
        if (options.needsFile()) {
            parser.addPositionalArgument(QStringLiteral("FILE"),
                                         QStringLiteral("The image file; \"-\" for %1.")
                                             .arg(command == Read
                                                      ? QStringLiteral("standard output")
                                                      : QStringLiteral("standard input")));
        }
        return parser.helpText();
    }
    QString commands;
    for (const CommandName &entry : CommandNames) {
        CliOptions options;
        options.command = entry.command;
        const QString usage =
            QLatin1String(entry.name) + (options.needsFile() ? QStringLiteral(" FILE") : QString());
        commands += QStringLiteral("  %1%2\n").arg(usage, -20).arg(QLatin1String(entry.summary));
    }
    parser.setApplicationDescription(
        QStringLiteral("Drives the NPX4 Flash Programmer without a window, one command per run,\n"
                       "on one programmer or on several at once (gang mode).\n\n"
                       "Commands (\"npx4-cli COMMAND --help\" shows a command's options):\n") +
        commands +
        QStringLiteral("\nFILE \"-\" reads standard input or writes standard output.\n\n"
                       "Exit status: 0 success, 1 the operation failed or was aborted (in gang\n"
                       "mode: on any programmer), 2 usage error, 3 no programmer found,\n"
                       "130 interrupted by SIGINT (Ctrl+C), 143 terminated by SIGTERM."));
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("What to do."),
                                 QStringLiteral("COMMAND [FILE]"));
    return parser.helpText();
}
