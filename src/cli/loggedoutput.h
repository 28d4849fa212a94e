#pragma once

#include "cli/forwardingoutput.h"

class LineFile;

// Passes everything on to another output and writes the log lines, as the window's log shows
// them, in plain text to a log file; a prefix (the programmer's serial number in gang mode)
// tells the programmers apart.
class LoggedOutput : public ForwardingOutput
{
public:
    LoggedOutput(SessionOutput &next, LineFile &log, const QString &prefix);

    void info(const QString &html) override;
    void error(const QString &html) override;
    void beginPhase(const QString &title, const QString &phase, int total) override;
    void endPhase(const QString &status) override;

private:
    void log(const QString &html);

    LineFile &file;
    const QString prefix;
};
