#pragma once

#include "cli/forwardingoutput.h"

// Passes everything but the progress on to another output; each progress step becomes one
// JSON line on stderr instead, for programs that wrap this one:
// {"programmer":"SIM00001","phase":"read","done":5,"total":1024}.
class JsonProgress : public ForwardingOutput
{
public:
    JsonProgress(SessionOutput &next, const QString &serialNumber);

    void beginPhase(const QString &title, const QString &phase, int total) override;
    void progress(int done, int total) override;
    void endPhase(const QString &status) override;

private:
    const QString serialNumber;
    QString phase;
};
