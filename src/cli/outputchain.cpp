#include "cli/outputchain.h"

#include "cli/clioptions.h"
#include "cli/linefile.h"

OutputChain::OutputChain(SessionOutput &base, const CliOptions &options, LineFile *log,
                         const QString &prefix)
    : top(&base)
{
    if (options.progressJson) {
        progress = std::make_unique<JsonProgress>(*top, options.serials.value(0));
        top = progress.get();
    }
    if (log && log->isOpen()) {
        logged = std::make_unique<LoggedOutput>(*top, *log, prefix);
        top = logged.get();
    }
}
