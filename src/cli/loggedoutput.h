#pragma once

#include "cli/sessionoutput.h"

class LineFile;

// Passes everything on to another output and writes the log lines, as the window's log shows
// them, in plain text to a log file; a prefix (the programmer's serial number in gang mode)
// tells the programmers apart.
class LoggedOutput : public SessionOutput
{
public:
    LoggedOutput(SessionOutput &next, LineFile &log, const QString &prefix);

    void info(const QString &html) override;
    void error(const QString &html) override;
    void beginPhase(const QString &title, int minimum, int maximum) override;
    void progress(int value) override;
    void endPhase(const QString &status) override;
    void result(const QString &line) override;

private:
    void log(const QString &html);

    SessionOutput &next;
    LineFile &file;
    const QString prefix;
};
