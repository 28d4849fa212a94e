// The window's log, progress bar and buffer label, and the state changes that the begin and
// end of an operation bring.

#include "app/maindialog.h"

#include "app/version.h"
#include "engine/aprogrammer.h"
#include "protocol/programmer.h"
#include "ui_maindialog.h"

#include <QDesktopServices>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTime>
#include <QTimer>

namespace {

// Lightness of coloured log text on a dark background: red, green and navy stay readable.
constexpr float MinDarkThemeLightness = 0.7f;

} // namespace

void MainDialog::appendLog(const QString &html)
{
    // The view follows new lines only while the user has not scrolled away from the end.
    QScrollBar *bar = ui->tbLog->verticalScrollBar();
    const bool follow = !bar->isVisible() || bar->value() == bar->maximum();

    QTextCursor cursor(ui->tbLog->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertBlock();
    const int start = cursor.position();
    cursor.insertHtml(html);
    fitColoursToPalette(start);

    if (follow)
        bar->setValue(bar->maximum());
}

void MainDialog::fitColoursToPalette(int position)
{
    // The colours of the log's lines suit a light background. On a dark one, coloured text keeps
    // its hue but is made light enough to read.
    if (ui->tbLog->palette().color(QPalette::Base).lightnessF() >= 0.5)
        return;
    QTextDocument *document = ui->tbLog->document();
    QList<QPair<QTextCursor, QColor>> changes;
    for (QTextBlock block = document->findBlock(position); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            if (!format.hasProperty(QTextFormat::ForegroundBrush))
                continue;
            const QColor color = format.foreground().color();
            if (color.lightnessF() >= MinDarkThemeLightness)
                continue;
            QTextCursor range(document);
            range.setPosition(fragment.position());
            range.setPosition(fragment.position() + fragment.length(), QTextCursor::KeepAnchor);
            changes.append({range, QColor::fromHslF(color.hslHueF(), color.hslSaturationF(),
                                                    MinDarkThemeLightness)});
        }
    }
    // Applied once the fragments are walked: a change of format can split and merge them.
    for (const auto &[range, color] : std::as_const(changes)) {
        QTextCharFormat lighter;
        lighter.setForeground(color);
        QTextCursor(range).mergeCharFormat(lighter);
    }
}

void MainDialog::addLogLine(const QString &format, const QString &text)
{
    // Both arguments in one pass: the text may hold "%1" of its own.
    appendLog(format.arg(QTime::currentTime().toString(), text));
}

void MainDialog::addInfo(QString text)
{
    addLogLine(tr("%1: %2"), text);
}

void MainDialog::addError(QString text)
{
    addLogLine(tr("%1: <font color=red>ERROR: %2</font>"), text);
}

void MainDialog::requestBufferImage(AProgrammer::OperationKind kind)
{
    if (!engine->request(kind, BlockScope::imageExtent()) &&
        engine->bufferDirectoryBlocks().isEmpty())
        explainMissingDirectory(OperationResult::NoBufferImage);
}

void MainDialog::operationResult(const OperationResult &result)
{
    explainMissingDirectory(result.status);
}

void MainDialog::explainMissingDirectory(OperationResult::Status status)
{
    if (status == OperationResult::NoBufferImage)
        addInfo(tr("Block 2 of the buffer holds no image directory, so the blocks of the image "
                   "are unknown. Load an image file that has one, or choose \"Whole flash\" or "
                   "other blocks from the button's menu (click its small arrow, or hold the "
                   "button down)."));
    else if (status == OperationResult::NoFlashImage)
        addInfo(tr("Block 2 of the Flash holds no image directory, so the blocks of its image "
                   "are unknown. Choose \"Whole flash\" or other blocks from the button's menu "
                   "(click its small arrow, or hold the button down)."));
}

void MainDialog::beginOperation(QString jobName)
{
    // Buffer files and the firmware upgrade run in this thread and hold the engine whole.
    const bool windowThreadWork = nextPhase == QLatin1String("load") ||
                                  nextPhase == QLatin1String("save") ||
                                  nextPhase == QLatin1String("upgrade");
    nextPhase.clear();

    ui->progressBar->setMinimum(engine->progressMinimum());
    ui->progressBar->setMaximum(engine->progressMaximum());
    ui->progressBar->setValue(ui->progressBar->minimum());
    meter.beginPhase(qint64(nextTotal) * Programmer::blockSize());
    meterTimer->start();
    ui->lbProgressInfo->setText(meter.details());
    // A read requested by the window fills the buffer from its first block on.
    if (phasesBeforeRead == 0)
        bufferFromFlash = true;
    if (phasesBeforeRead >= 0)
        --phasesBeforeRead;
    if (windowThreadWork) {
        ui->actionAllBusy->setChecked(true);
    } else {
        ui->actionBusy->setChecked(true);
        updateEccBox();
    }
    addLogLine(tr("%1: <font color=green>%2</font>"), jobName);
}

void MainDialog::endOperation(QString status)
{
    ui->actionBusy->setChecked(false);
    ui->actionAllBusy->setChecked(false);
    updateEccBox();
    phasesBeforeRead = -1;
    meterTimer->stop();
    ui->lbProgressInfo->clear();
    const QString summary = meter.finish();
    addLogLine(tr("%1: <b>%2</b>"), status);
    if (!summary.isEmpty())
        addInfo(summary);
}

void MainDialog::progress(int value)
{
    ui->progressBar->setValue(value);
}

void MainDialog::phaseProgress(QString phase, int done, int total)
{
    if (done == 0) {
        nextPhase = phase;
        nextTotal = total;
        return;
    }
    meter.setDone(qint64(done) * Programmer::blockSize(), qint64(total) * Programmer::blockSize());
    ui->lbProgressInfo->setText(meter.details());
}

void MainDialog::leaveOutOfProgress(QList<int> blocks)
{
    QProgressBar *bar = ui->progressBar;
    bar->setMaximum(qMax(bar->value(), bar->maximum() - int(blocks.size())));
}

void MainDialog::fwUpgradeProgress(int current, int max)
{
    ui->progressBar->setMaximum(max);
    ui->progressBar->setValue(current);
    meter.setDone(current, max);
    ui->lbProgressInfo->setText(meter.details());
}

void MainDialog::on_tbLog_anchorClicked(QUrl url)
{
    QDesktopServices::openUrl(url);
}

void MainDialog::writeBanner()
{
    appendLog(QStringLiteral("<font color='navy'><b>Velmora NPX4 Programmer v. %1.%2.%3</b></font>")
                  .arg(versionMajor())
                  .arg(versionMinor())
                  .arg(versionBuild()));
    appendLog(tr("Most recent version can be downloaded from <a href='%4'>%4</a>.<br/><br/>")
                  .arg(QLatin1String(DownloadAddress)));
}

void MainDialog::setBufferLabel(const QString &html)
{
    ui->lbBufferStatus->setText(html);
}
