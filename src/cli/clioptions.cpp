#include "cli/clioptions.h"

#include "cli/blocktext.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("CliOptions", text);
}

struct CommandName
{
    const char *name;
    CliOptions::Command command;
};

constexpr CommandName CommandNames[] = {
    {"info", CliOptions::Info},     {"read", CliOptions::Read},
    {"write", CliOptions::Write},   {"auto-write", CliOptions::AutoWrite},
    {"update", CliOptions::Update}, {"verify", CliOptions::Verify},
    {"erase", CliOptions::Erase},   {"blank-check", CliOptions::BlankCheck},
    {"hash", CliOptions::Hash},     {"upgrade-firmware", CliOptions::UpgradeFirmware},
};

CliOptions::Command commandNamed(const QString &name)
{
    for (const CommandName &entry : CommandNames) {
        if (name == QLatin1String(entry.name))
            return entry.command;
    }
    return CliOptions::NoCommand;
}

const QCommandLineOption DeviceOption(QStringLiteral("device"),
                                      QStringLiteral("Use the N-th programmer (from 0)."),
                                      QStringLiteral("N"));
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
const QCommandLineOption QuietOption(QStringLiteral("quiet"),
                                     QStringLiteral("Show errors and results only."));
const QCommandLineOption JsonOption(QStringLiteral("json"),
                                    QStringLiteral("Print the result of info or hash as JSON."));
const QCommandLineOption HelpOption(QStringLiteral("help"), QStringLiteral("Show this help."));
const QCommandLineOption VersionOption(QStringLiteral("version"),
                                       QStringLiteral("Show the program version."));

void addOptions(QCommandLineParser &parser)
{
    parser.addOptions({DeviceOption, NoEccOption, BlocksOption, AllOption, PhysicalOption,
                       PadOption, QuietOption, JsonOption, HelpOption, VersionOption});
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

bool CliOptions::parse(const QStringList &arguments, int blockCount, QString *error)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    addOptions(parser);
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    help = parser.isSet(HelpOption);
    version = parser.isSet(VersionOption);
    if (help || version)
        return true;

    QStringList positional = parser.positionalArguments();
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

    if (parser.isSet(DeviceOption)) {
        bool ok = false;
        device = parser.value(DeviceOption).toInt(&ok);
        if (!ok || device < 0) {
            *error = tr("--device needs a programmer number from 0, not \"%1\"")
                         .arg(parser.value(DeviceOption));
            return false;
        }
    }
    ecc = !parser.isSet(NoEccOption);
    quiet = parser.isSet(QuietOption);
    json = parser.isSet(JsonOption);
    if (json && command != Info && command != Hash) {
        *error = tr("--json applies to info and hash only");
        return false;
    }

    const bool listed = parser.isSet(BlocksOption);
    const bool all = parser.isSet(AllOption);
    if (listed || all) {
        if (command == Info || command == Update || command == UpgradeFirmware) {
            *error = tr("The command \"%1\" takes no --blocks or --all").arg(name);
            return false;
        }
        if (listed && all) {
            *error = tr("--blocks and --all exclude each other");
            return false;
        }
    }
    physical = parser.isSet(PhysicalOption);
    if (physical && command != Read && command != Verify && command != Hash) {
        *error = tr("--physical applies to read, verify and hash only");
        return false;
    }
    if (listed) {
        QString reason;
        if (!parseBlockList(parser.value(BlocksOption), blockCount, &blocks, &reason)) {
            *error = tr("Bad --blocks: %1").arg(reason);
            return false;
        }
        extent = Listed;
    } else if (all || physical) {
        // A physical dump has no image extent to go by.
        extent = WholeChip;
    }
    pad = parser.isSet(PadOption);
    if (pad &&
        ((command != Write && command != AutoWrite && command != Verify) || extent == Automatic)) {
        *error = tr("--pad applies to write, auto-write and verify with --blocks or --all");
        return false;
    }
    return true;
}

QString CliOptions::helpText()
{
    QCommandLineParser parser;
    addOptions(parser);
    parser.setApplicationDescription(QStringLiteral(
        "Drives the NPX4 Flash Programmer without a window, one command per run.\n\n"
        "Commands:\n"
        "  info                programmer firmware, chip name and bad blocks\n"
        "  read FILE           read the image on the chip (or --blocks, --all) into FILE\n"
        "  write FILE          program the image in FILE\n"
        "  auto-write FILE     erase, program and verify block by block\n"
        "  update FILE         rewrite only the parts of the image that changed\n"
        "  verify FILE         compare the chip with FILE\n"
        "  erase               erase the whole chip (or --blocks)\n"
        "  blank-check         check that the chip (or --blocks) is erased\n"
        "  hash                CRC32, MD5 and SHA1 of the chip (or --blocks)\n"
        "  upgrade-firmware    load the built-in firmware into the programmer\n\n"
        "Exit status: 0 success, 1 the operation failed or was aborted, 2 usage error,\n"
        "3 no programmer found."));
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("What to do."),
                                 QStringLiteral("COMMAND [FILE]"));
    return parser.helpText();
}
