#pragma once

#include "cli/jsonprogress.h"
#include "cli/loggedoutput.h"

#include <memory>

struct CliOptions;
class LineFile;

// A session's output: `base`, with the log file and the JSON progress lines the options ask
// for layered over it. `prefix` starts the session's lines in the log file.
class OutputChain
{
public:
    OutputChain(SessionOutput &base, const CliOptions &options, LineFile *log,
                const QString &prefix);

    SessionOutput &output() const { return *top; }

private:
    std::unique_ptr<JsonProgress> progress;
    std::unique_ptr<LoggedOutput> logged;
    SessionOutput *top;
};
