// The window's log, progress bar and buffer label, and the state changes that the begin and
// end of an operation bring.

#include "app/maindialog.h"

#include "app/version.h"
#include "engine/aprogrammer.h"
#include "ui_maindialog.h"

#include <QDesktopServices>
#include <QScrollBar>
#include <QTextCursor>
#include <QTime>

void MainDialog::appendLog(const QString &html)
{
    // The view follows new lines only while the user has not scrolled away from the end.
    QScrollBar *bar = ui->tbLog->verticalScrollBar();
    const bool follow = !bar->isVisible() || bar->value() == bar->maximum();

    QTextCursor cursor(ui->tbLog->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertBlock();
    cursor.insertHtml(html);

    if (follow)
        bar->setValue(bar->maximum());
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

void MainDialog::beginOperation(QString jobName)
{
    const bool windowThreadWork = beginInWindowThread;
    beginInWindowThread = false;

    ui->progressBar->setMinimum(engine->progressMinimum());
    ui->progressBar->setMaximum(engine->progressMaximum());
    ui->progressBar->setValue(ui->progressBar->minimum());
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
    addLogLine(tr("%1: <b>%2</b>"), status);
}

void MainDialog::progress(int value)
{
    ui->progressBar->setValue(value);
}

void MainDialog::fwUpgradeProgress(int current, int max)
{
    ui->progressBar->setMaximum(max);
    ui->progressBar->setValue(current);
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
