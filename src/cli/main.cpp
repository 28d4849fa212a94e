#include "cli/clioptions.h"
#include "cli/clisession.h"
#include "cli/console.h"
#include "cli/gangrunner.h"
#include "cli/interruptwatcher.h"
#include "cli/jsonresult.h"
#include "cli/linefile.h"
#include "cli/outputchain.h"
#include "cli/programmerlist.h"
#include "engine/blockrange.h"
#include "protocol/programmer.h"
#include "usb/programmerbackend.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>

namespace {

// The report and log files the options name, opened before any programmer is touched.
struct OutputFiles
{
    LineFile report;
    LineFile log;

    bool open(const CliOptions &options, QString *error)
    {
        return (options.report.isEmpty() || report.open(options.report, LineFile::Append, error)) &&
               (options.log.isEmpty() || log.open(options.log, LineFile::Truncate, error));
    }
};

int usageError(const QString &text, bool json)
{
    Console::write(stderr, QStringLiteral("npx4-cli: %1\nTry \"npx4-cli --help\".\n").arg(text));
    if (json)
        printJsonError(text, CliSession::UsageError);
    return CliSession::UsageError;
}

int runSingle(const CliOptions &options, InterruptWatcher &interrupts, OutputFiles &files,
              const QByteArray &input)
{
    Console console(options.quiet);
    const OutputChain chain(console, options, &files.log, QString());
    CliSession session(options, chain.output(), interrupts);
    session.setInputImage(input);
    const int status = session.run();
    const ChipRecord &record = session.chipRecord();
    if (status != CliSession::UsageError && files.report.isOpen())
        files.report.writeLine(jsonLine(record.toJson()));
    // info, hash and test print their own result; everything else, and every failure, the
    // record.
    const bool printed = session.printedResult() ||
                         (status == CliSession::Success && (options.command == CliOptions::Info ||
                                                            options.command == CliOptions::Hash));
    if (options.json && !printed)
        printJson(record.toJson(), status);
    return status;
}

int run(const CliOptions &options, InterruptWatcher &interrupts)
{
    if (options.command == CliOptions::List)
        return listProgrammers(options);
    OutputFiles files;
    QString error;
    if (!files.open(options, &error))
        return usageError(error, options.json);
    // Standard input can be read once only: every programmer of a gang gets this copy.
    QByteArray input;
    if (options.loadsFile() && options.file == QLatin1String("-")) {
        QFile standardInput;
        if (standardInput.open(stdin, QIODevice::ReadOnly))
            input = standardInput.readAll();
    }
    if (options.isGang()) {
        GangRunner gang(options, interrupts, &files.report, &files.log, input);
        return gang.run();
    }
    return runSingle(options, interrupts, files, input);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("npx4-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NPX4_CLI_VERSION));
    registerBlockRangeTypes();

    CliOptions options;
    QString error;
    if (!options.parse(QCoreApplication::arguments(), Programmer::blockCount(), &error))
        return usageError(error, options.json);
    // The engine's diagnostic lines would drown the program's own output: --verbose (or
    // QT_LOGGING_RULES) brings them back.
    QLoggingCategory::setFilterRules(options.verbose ? QStringLiteral("npx4.*.debug=true")
                                                     : QStringLiteral("npx4.*.debug=false"));
    if (options.help) {
        Console::write(stdout, CliOptions::helpText(options.command));
        return CliSession::Success;
    }
    if (options.version) {
        Console::write(stdout,
                       QStringLiteral("npx4-cli %1\n").arg(QCoreApplication::applicationVersion()));
        return CliSession::Success;
    }
    const ProgrammerBackend backend = options.programmer ? ProgrammerBackend(*options.programmer)
                                                         : ProgrammerBackend::fromEnvironment();
    const QString backendError = backend.install();
    if (!backendError.isEmpty())
        return usageError(backendError, options.json);
    InterruptWatcher interrupts;
    const int status = run(options, interrupts);
    // Killed by a signal, as the shell counts it: 128 + the signal's number.
    if (interrupts.signalNumber() != 0)
        return 128 + interrupts.signalNumber();
    return status;
}
