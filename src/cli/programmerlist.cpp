#include "cli/programmerlist.h"

#include "cli/clioptions.h"
#include "cli/console.h"
#include "cli/jsonresult.h"
#include "protocol/programmer.h"

#include <QJsonArray>
#include <QJsonObject>

namespace {

QString stateText(ProgrammerListing::State state)
{
    switch (state) {
    case ProgrammerListing::OpenedElsewhere:
        return QStringLiteral("opened elsewhere");
    case ProgrammerListing::BootLoader:
        return QStringLiteral("boot loader");
    case ProgrammerListing::NoAnswer:
        return QStringLiteral("no answer");
    case ProgrammerListing::Free:
        break;
    }
    return QStringLiteral("free");
}

} // namespace

int listProgrammers(const CliOptions &options)
{
    const QList<ProgrammerListing> listing = Programmer::survey(true);
    if (options.json) {
        QJsonArray programmers;
        for (const ProgrammerListing &entry : listing) {
            programmers.append(QJsonObject{
                {QStringLiteral("index"),
                 entry.index >= 0 ? QJsonValue(entry.index) : QJsonValue(QJsonValue::Null)},
                {QStringLiteral("serial"), entry.serialNumber},
                {QStringLiteral("description"), entry.description},
                {QStringLiteral("state"), stateText(entry.state)},
                {QStringLiteral("firmware"), entry.firmware},
            });
        }
        printJson(QJsonObject{{QStringLiteral("programmers"), programmers}}, 0);
        return 0;
    }
    QString table = QStringLiteral("%1  %2  %3  %4  %5\n")
                        .arg(QStringLiteral("Index"), -5)
                        .arg(QStringLiteral("Serial"), -16)
                        .arg(QStringLiteral("Description"), -24)
                        .arg(QStringLiteral("State"), -16)
                        .arg(QStringLiteral("Firmware"));
    for (const ProgrammerListing &entry : listing) {
        const QString index = entry.index >= 0 ? QString::number(entry.index) : QStringLiteral("-");
        table +=
            QStringLiteral("%1  %2  %3  %4  %5\n")
                .arg(index, -5)
                .arg(entry.serialNumber.isEmpty() ? QStringLiteral("-") : entry.serialNumber, -16)
                .arg(entry.description.isEmpty() ? QStringLiteral("-") : entry.description, -24)
                .arg(stateText(entry.state), -16)
                .arg(entry.firmware.isEmpty() ? QStringLiteral("-") : entry.firmware);
    }
    Console::write(stdout, table);
    return 0;
}
