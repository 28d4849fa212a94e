#pragma once

#include <QString>

// Where a session's text goes. The texts may carry the engine's rich-text markup; each output
// shows them as its medium needs.
class SessionOutput
{
public:
    virtual ~SessionOutput() = default;

    virtual void info(const QString &html) = 0;
    virtual void error(const QString &html) = 0;
    // A phase starts: its title, its stable key ("read", "program", ...) and its blocks.
    virtual void beginPhase(const QString &title, const QString &phase, int total) = 0;
    // `done` of the phase's `total` blocks are done.
    virtual void progress(int done, int total) = 0;
    // The phase's final status ("Complete", "Failed", ...).
    virtual void endPhase(const QString &status) = 0;
    // A line of the command's result.
    virtual void result(const QString &line) = 0;
};
