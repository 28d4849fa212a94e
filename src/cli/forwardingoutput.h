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
    void beginPhase(const QString &title, int minimum, int maximum) override
    {
        next.beginPhase(title, minimum, maximum);
    }
    void progress(int value) override { next.progress(value); }
    void endPhase(const QString &status) override { next.endPhase(status); }
    void result(const QString &line) override { next.result(line); }

protected:
    SessionOutput &next;
};
