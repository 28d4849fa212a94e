#pragma once

#include "cli/forwardingoutput.h"

// Passes everything but the progress on to another output; each progress step becomes one
// JSON line on stderr instead, for programs that wrap this one:
// {"programmer":"SIM00001","phase":"Reading whole Flash...","done":5,"total":1024}.
class JsonProgress : public ForwardingOutput
{
public:
    JsonProgress(SessionOutput &next, const QString &serialNumber);

    void beginPhase(const QString &title, int minimum, int maximum) override;
    void progress(int value) override;
    void endPhase(const QString &status) override;

private:
    const QString serialNumber;
    QString phase;
    int minimum = 0;
    int maximum = 0;
};
