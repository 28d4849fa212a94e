#pragma once

#include "cli/chiprecord.h"
#include "cli/clioptions.h"

#include <QByteArray>
#include <QObject>

class InterruptWatcher;
class LineFile;

// Gang mode: runs the command on several programmers at once (--device all, or several
// --serial), one session with its own engine per programmer, each in a thread of its own. A
// programmer that fails or is unplugged never stops the others; SIGINT and SIGTERM abort them
// all. At the end a summary table (or with --json one object) goes to stdout.
class GangRunner : public QObject
{
    Q_OBJECT

public:
    // `report` and `log` may be null or closed; `input` is the image of FILE "-".
    GangRunner(const CliOptions &options, InterruptWatcher &interrupts, LineFile *report,
               LineFile *log, const QByteArray &input, QObject *parent = nullptr);

    // The exit status: 0 when every programmer succeeded, 3 when none was found, else 1.
    int run();

private:
    // The serial numbers of the programmers to run on; empty when none was found.
    QStringList selectSerials() const;
    void printSummary(const QList<ChipRecord> &records, int status) const;

    const CliOptions options;
    InterruptWatcher &interrupts;
    LineFile *report;
    LineFile *log;
    const QByteArray input;
};
