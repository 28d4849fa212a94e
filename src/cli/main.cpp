#include "cli/clioptions.h"
#include "cli/clisession.h"
#include "engine/blockrange.h"
#include "protocol/programmer.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <cstdio>

namespace {

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("npx4-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NPX4_CLI_VERSION));
    // The engine's diagnostic lines would drown the program's own output; QT_LOGGING_RULES
    // brings them back.
    QLoggingCategory::setFilterRules(QStringLiteral("npx4.*.debug=false"));
    registerBlockRangeTypes();

    CliOptions options;
    QString error;
    if (!options.parse(QCoreApplication::arguments(), Programmer::blockCount(), &error)) {
        print(stderr, QStringLiteral("npx4-cli: %1\nTry \"npx4-cli --help\".\n").arg(error));
        return CliSession::UsageError;
    }
    if (options.help) {
        print(stdout, CliOptions::helpText());
        return CliSession::Success;
    }
    if (options.version) {
        print(stdout, QStringLiteral("npx4-cli %1\n").arg(QCoreApplication::applicationVersion()));
        return CliSession::Success;
    }
    CliSession session(options);
    return session.run();
}
