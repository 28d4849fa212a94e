#pragma once

#include "cli/sessionoutput.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QStringList>
#include <memory>
#include <vector>

// The console of a gang run, shared by the sessions of all programmers (each in its own
// thread). On a terminal, stderr shows one status line per programmer, redrawn in place;
// written to a file or a pipe, every log line goes out whole with the programmer's serial
// number in front. Results go to stdout the same way.
class GangDisplay
{
public:
    GangDisplay(const QStringList &serialNumbers, bool quiet);
    ~GangDisplay();

    // The output of programmer `index`'s session.
    SessionOutput &member(int index) const;
    // Draws the final state of every line.
    void finish();

private:
    class Member;

    void line(int index, const QString &text, bool always);
    void result(int index, const QString &text);
    void setStatus(int index, const QString &text, bool force);
    // Expects `mutex` held.
    void redraw();

    const QStringList serials;
    const bool quiet;
    const bool terminal;
    QMutex mutex;
    QStringList statuses;
    bool drawn = false;
    QElapsedTimer redrawTimer;
    std::vector<std::unique_ptr<Member>> members;
};
