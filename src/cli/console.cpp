#include "cli/console.h"

#include "cli/plaintext.h"
#include "protocol/programmer.h"

#include <cstdio>
#include <unistd.h>

namespace {

// A terminal redraws at most this often: more costs time and shows nothing.
constexpr qint64 RedrawIntervalMs = 100;

QString duration(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

void Console::write(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

Console::Console(bool quiet) : quiet(quiet), terminal(isatty(STDERR_FILENO) == 1) {}

void Console::info(const QString &html)
{
    if (!quiet)
        writeLine(plainText(html));
}

void Console::error(const QString &html)
{
    writeLine(plainText(html));
}

void Console::beginPhase(const QString &title, const QString &, int)
{
    phaseTimer.start();
    redrawTimer.invalidate();
    info(title);
}

void Console::progress(int done, int total)
{
    if (quiet || !terminal || !phaseTimer.isValid())
        return;
    const bool last = done >= total;
    if (!last && redrawTimer.isValid() && redrawTimer.elapsed() < RedrawIntervalMs)
        return;
    redrawTimer.start();
    write(stderr, QStringLiteral("\r") + progressText(done, total, phaseTimer.elapsed()) +
                      QStringLiteral("\x1b[K"));
    progressShown = true;
}

void Console::endPhase(const QString &status)
{
    info(status);
    phaseTimer.invalidate();
}

void Console::result(const QString &line)
{
    clearProgress();
    write(stdout, line + QLatin1Char('\n'));
}

QString Console::progressText(int done, int total, qint64 elapsedMs)
{
    const int percent = total > 0 ? int(qint64(qBound(0, done, total)) * 100 / total) : 100;
    QString text = QStringLiteral("%1%  %2/%3 blocks").arg(percent, 3).arg(done).arg(total);
    if (elapsedMs > 0 && done > 0) {
        const double bytes = double(done) * Programmer::blockSize();
        text +=
            QStringLiteral("  %1 MB/s").arg(bytes / 1e6 / (double(elapsedMs) / 1000.0), 0, 'f', 1);
        const qint64 leftMs = qint64(total - done) * elapsedMs / done;
        text += QStringLiteral("  %1 left").arg(duration((leftMs + 999) / 1000));
    }
    return text;
}

void Console::writeLine(const QString &text)
{
    clearProgress();
    write(stderr, text + QLatin1Char('\n'));
}

void Console::clearProgress()
{
    if (!progressShown)
        return;
    write(stderr, QStringLiteral("\r\x1b[K"));
    progressShown = false;
}
