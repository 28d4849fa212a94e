#pragma once

#include "cli/sessionoutput.h"

#include <QElapsedTimer>
#include <QString>
#include <cstdio>

// Where the program's text goes: log lines, phase titles and status lines on stderr as plain
// text; results on stdout. While a phase runs and stderr is a terminal, one progress line is
// redrawn in place below the log; written to a file or a pipe, stderr gets whole lines only.
class Console : public SessionOutput
{
public:
    // `quiet`: only errors and results are written.
    explicit Console(bool quiet);

    void info(const QString &html) override;
    void error(const QString &html) override;
    void beginPhase(const QString &title, const QString &phase, int total) override;
    void progress(int done, int total) override;
    void endPhase(const QString &status) override;
    void result(const QString &line) override;

    // Writes `text` in one piece and flushes: lines of several threads never mix.
    static void write(FILE *stream, const QString &text);

private:
    // The progress line: percent, blocks done, throughput and time left. `elapsedMs` is the
    // time since the phase began.
    static QString progressText(int done, int total, qint64 elapsedMs);
    void writeLine(const QString &text);
    void clearProgress();

    const bool quiet;
    const bool terminal;
    bool progressShown = false;
    QElapsedTimer phaseTimer;
    QElapsedTimer redrawTimer;
};
