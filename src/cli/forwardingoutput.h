#pragma once

#include "cli/sessionoutput.h"

// An output that passes everything on to another one; layers over an output override only
// what they add.
class ForwardingOutput : public SessionOutput
{
public:
    explicit ForwardingOutput(SessionOutput &next) : next(next) {}

    void info(const QString &html) override { next.info(html); }
    void error(const QString &html) override { next.error(html); }
    void beginPhase(const QString &title, const QString &phase, int total) override
    {
        next.beginPhase(title, phase, total);
    }
    void progress(int done, int total) override { next.progress(done, total); }
    void endPhase(const QString &status) override { next.endPhase(status); }
    void result(const QString &line) override { next.result(line); }

protected:
    SessionOutput &next;
};
