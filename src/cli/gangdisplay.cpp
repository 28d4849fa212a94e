#include "cli/gangdisplay.h"

#include "cli/console.h"
#include "cli/plaintext.h"

#include <unistd.h>

namespace {

// A terminal redraws at most this often: more costs time and shows nothing.
constexpr qint64 RedrawIntervalMs = 100;
// A status line that wrapped would throw the redrawing off by a line.
constexpr int MaxStatusWidth = 60;

} // namespace

// One programmer's view of the display.
class GangDisplay::Member : public SessionOutput
{
public:
    Member(GangDisplay &display, int index) : display(display), index(index) {}

    void info(const QString &html) override { display.line(index, plainText(html), false); }
    void error(const QString &html) override
    {
        lastError = plainText(html).section(QLatin1Char('\n'), 0, 0);
        display.line(index, plainText(html), true);
    }
    void beginPhase(const QString &title, const QString &, int) override
    {
        phase = plainText(title);
        display.line(index, phase, false);
    }
    void progress(int done, int total) override
    {
        const int percent = total > 0 ? qBound(0, done * 100 / total, 100) : 100;
        display.setStatus(index, QStringLiteral("%1 %2%").arg(phase).arg(percent), false);
    }
    // The status line keeps the reason of a failure beside it.
    void endPhase(const QString &status) override
    {
        const QString text = plainText(status);
        display.line(index, lastError.isEmpty() ? text : text + QStringLiteral(": ") + lastError,
                     false);
        lastError.clear();
    }
    void result(const QString &line) override { display.result(index, line); }

private:
    GangDisplay &display;
    const int index;
    QString phase;
    QString lastError;
};

GangDisplay::GangDisplay(const QStringList &serialNumbers, bool quiet)
    : serials(serialNumbers), quiet(quiet), terminal(isatty(STDERR_FILENO) == 1)
{
    for (int i = 0; i < serials.size(); ++i) {
        statuses.append(QStringLiteral("waiting"));
        members.push_back(std::make_unique<Member>(*this, i));
    }
}

GangDisplay::~GangDisplay() = default;

SessionOutput &GangDisplay::member(int index) const
{
    return *members.at(size_t(index));
}

void GangDisplay::finish()
{
    QMutexLocker locker(&mutex);
    if (drawn)
        redraw();
}

void GangDisplay::line(int index, const QString &text, bool always)
{
    if (terminal) {
        setStatus(index, text, true);
        return;
    }
    if (quiet && !always)
        return;
    Console::write(stderr, QStringLiteral("[%1] %2\n").arg(serials.at(index), text));
}

void GangDisplay::result(int index, const QString &text)
{
    Console::write(stdout, QStringLiteral("[%1] %2\n").arg(serials.at(index), text));
}

void GangDisplay::setStatus(int index, const QString &text, bool force)
{
    if (!terminal || quiet)
        return;
    QMutexLocker locker(&mutex);
    statuses[index] = text;
    if (force || !redrawTimer.isValid() || redrawTimer.elapsed() >= RedrawIntervalMs)
        redraw();
}

void GangDisplay::redraw()
{
    redrawTimer.start();
    // Back to the first status line, then each line anew.
    QString text = drawn ? QStringLiteral("\x1b[%1A").arg(serials.size()) : QString();
    for (int i = 0; i < serials.size(); ++i) {
        text += QStringLiteral("\r%1  %2\x1b[K\n")
                    .arg(serials.at(i), -16)
                    .arg(statuses.at(i).section(QLatin1Char('\n'), 0, 0).left(MaxStatusWidth));
    }
    drawn = true;
    Console::write(stderr, text);
}
