#include "cli/gangrunner.h"

#include "cli/clisession.h"
#include "cli/console.h"
#include "cli/gangdisplay.h"
#include "cli/jsonresult.h"
#include "cli/linefile.h"
#include "cli/outputchain.h"
#include "protocol/programmer.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>
#include <memory>
#include <vector>

namespace {

// One programmer's session, run in a thread of its own with the thread's own event loop.
class MemberThread : public QThread
{
public:
    MemberThread(const CliOptions &options, SessionOutput &output, InterruptWatcher &interrupts,
                 const QByteArray &input)
        : options(options), output(output), interrupts(interrupts), input(input)
    {}

    int status = CliSession::OperationFailed;
    ChipRecord record;

protected:
    void run() override
    {
        CliSession session(options, output, interrupts);
        session.setInputImage(input);
        status = session.run();
        record = session.chipRecord();
    }

private:
    const CliOptions options;
    SessionOutput &output;
    InterruptWatcher &interrupts;
    const QByteArray input;
};

} // namespace

GangRunner::GangRunner(const CliOptions &options, InterruptWatcher &interrupts, LineFile *report,
                       LineFile *log, const QByteArray &input, QObject *parent)
    : QObject(parent), options(options), interrupts(interrupts), report(report), log(log),
      input(input)
{}

QStringList GangRunner::selectSerials() const
{
    if (!options.allDevices)
        return options.serials;
    QStringList serials;
    for (const ProgrammerListing &entry : Programmer::survey(false)) {
        if (entry.index >= 0)
            serials.append(entry.serialNumber);
    }
    return serials;
}

int GangRunner::run()
{
    const QStringList serials = selectSerials();
    if (serials.isEmpty()) {
        Console::write(stderr, tr("No programmer found\n"));
        return CliSession::NoProgrammer;
    }
    GangDisplay display(serials, options.quiet);
    std::vector<std::unique_ptr<OutputChain>> chains;
    std::vector<std::unique_ptr<MemberThread>> members;
    QEventLoop loop;
    int running = int(serials.size());
    for (int i = 0; i < serials.size(); ++i) {
        CliOptions memberOptions = options;
        memberOptions.allDevices = false;
        memberOptions.serials = QStringList{serials.at(i)};
        chains.push_back(std::make_unique<OutputChain>(display.member(i), memberOptions, log,
                                                       QStringLiteral("[%1] ").arg(serials.at(i))));
        members.push_back(std::make_unique<MemberThread>(memberOptions, chains.back()->output(),
                                                         interrupts, input));
        MemberThread *member = members.back().get();
        connect(member, &QThread::finished, &loop, [this, member, &running, &loop] {
            if (report && report->isOpen())
                report->writeLine(jsonLine(member->record.toJson()));
            if (--running == 0)
                loop.quit();
        });
    }
    for (const auto &member : members)
        member->start();
    // The loop also carries SIGINT and SIGTERM to the sessions.
    if (running > 0)
        loop.exec();
    display.finish();

    QList<ChipRecord> records;
    int status = CliSession::Success;
    for (const auto &member : members) {
        records.append(member->record);
        if (member->status != CliSession::Success)
            status = CliSession::OperationFailed;
    }
    printSummary(records, status);
    return status;
}

void GangRunner::printSummary(const QList<ChipRecord> &records, int status) const
{
    if (options.json) {
        QJsonArray programmers;
        for (const ChipRecord &record : records)
            programmers.append(record.toJson());
        printJson(QJsonObject{{QStringLiteral("programmers"), programmers}}, status);
        return;
    }
    const QString format = QStringLiteral("%1  %2  %3  %4  %5  %6\n");
    QString table = format.arg(QStringLiteral("Serial"), -16)
                        .arg(QStringLiteral("Chip"), -24)
                        .arg(QStringLiteral("Bad"), 4)
                        .arg(QStringLiteral("Time"), 7)
                        .arg(QStringLiteral("MB/s"), 6)
                        .arg(QStringLiteral("Result"));
    for (const ChipRecord &record : records) {
        QString result = ChipRecord::resultText(record.result);
        if (record.result != ChipRecord::Succeeded && !record.error.isEmpty())
            result += QStringLiteral(": ") + record.error.section(QLatin1Char('\n'), 0, 0);
        table += format.arg(record.serialNumber, -16)
                     .arg(record.chip.isEmpty() ? QStringLiteral("-") : record.chip, -24)
                     .arg(record.badAfter().size(), 4)
                     .arg(QStringLiteral("%1s").arg(record.seconds(), 0, 'f', 1), 7)
                     .arg(record.megabytesPerSecond(), 6, 'f', 1)
                     .arg(result);
    }
    Console::write(stdout, table);
}
