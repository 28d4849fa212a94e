// The buffer file commands: loading a file into the engine's buffer, saving the buffer (or
// chosen blocks of it) to a file, the recent-files menu of the Load button and dropped files.

#include "app/maindialog.h"

#include "app/menuhelpers.h"
#include "app/recentfiles.h"
#include "engine/aprogrammer.h"
#include "engine/imagefile.h"
#include "ui_maindialog.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <sys/stat.h>

namespace {

QStringList fileFilters()
{
    return {MainDialog::tr("Binary files (*.bin *.rom)"), MainDialog::tr("Any files (*)")};
}

// Opening a pipe waits for the other end, and reading a terminal waits for its user, which would
// freeze the window: only files (existing or new) and disks are opened here.
bool opensAtOnce(const QString &path)
{
    struct stat status = {};
    return ::stat(QFile::encodeName(path).constData(), &status) != 0 || S_ISREG(status.st_mode) ||
           S_ISBLK(status.st_mode);
}

QString notAFile()
{
    return MainDialog::tr("it is not a regular file");
}

} // namespace

void MainDialog::loadFile()
{
    QFileDialog dialog(this, tr("Select file"), recentFiles.value(0));
    dialog.setNameFilters(fileFilters());
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setOption(QFileDialog::ReadOnly);
    if (dialog.exec() == QDialog::Accepted)
        openBufferFile(dialog.selectedFiles().value(0));
}

void MainDialog::loadRecentFile()
{
    if (const auto *action = qobject_cast<QAction *>(sender()))
        openBufferFile(action->data().toString());
}

void MainDialog::openBufferFile(const QString &path)
{
    QFile file(path);
    const bool opens = opensAtOnce(path);
    if (!opens || !file.open(QIODevice::ReadOnly)) {
        const QString reason = opens ? file.errorString() : notAFile();
        QMessageBox::critical(this, tr("Error"), tr("Failed to open file: %1").arg(reason),
                              QMessageBox::Ok);
        return;
    }
    if (!confirmBufferReplaced())
        return;
    addInfo(tr("Opened file \"<b>%1</b>\"").arg(path.toHtmlEscaped()));
    if (engine->loadBuffer(&file))
        setBufferFile(path);
}

void MainDialog::saveFileAs(QList<int> blocks)
{
    QFileDialog dialog(this, tr("Select file name"), recentFiles.value(0));
    dialog.setNameFilters(fileFilters());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    if (dialog.exec() != QDialog::Accepted)
        return;

    // In a folder where no new file can be created, the chosen file is written in place.
    const QString path = dialog.selectedFiles().value(0);
    const std::unique_ptr<QFileDevice> file = createImageFile(path, true);
    const bool opens = opensAtOnce(path);
    if (!opens || !file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        QMessageBox::critical(
            this, tr("Error"),
            tr("Failed to create file: %1").arg(opens ? file->errorString() : notAFile()),
            QMessageBox::Ok);
        return;
    }
    addInfo(tr("Created file \"<b>%1</b>\"").arg(path.toHtmlEscaped()));
    if (!engine->saveBuffer(file.get(), blocks))
        return;
    if (!commitImageFile(*file)) {
        addError(tr("Failed to write file \"<b>%1</b>\": %2")
                     .arg(path.toHtmlEscaped(), file->errorString().toHtmlEscaped()));
        return;
    }
    setBufferFile(path);
}

void MainDialog::setBufferFile(const QString &path)
{
    bufferFromFlash = false;
    recentFiles.prepend(path);
    updateRecentMenu();
    setBufferLabel(tr("Buffer contains file:<br/><b>%1</b>").arg(path.toHtmlEscaped()));
}

void MainDialog::updateRecentMenu()
{
    ui->pbLoad->setMenu(nullptr);
    clearMenu(recentMenu);
    normalizeRecentFiles(recentFiles);
    for (const QString &path : std::as_const(recentFiles)) {
        // A file that is gone keeps its place in the list; it may come back.
        if (!QFileInfo(path).isFile())
            continue;
        auto *action = new QAction(menuEntryText(shortenPath(path)), recentMenu);
        action->setData(path);
        recentMenu->addAction(action);
        connect(action, &QAction::triggered, this, &MainDialog::loadRecentFile);
    }
    ui->pbLoad->setPopupMode(recentFiles.isEmpty() ? QToolButton::DelayedPopup
                                                   : QToolButton::MenuButtonPopup);
    ui->pbLoad->setMenu(recentMenu);
}

void MainDialog::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
    else
        QWidget::dragEnterEvent(event);
}

void MainDialog::dropEvent(QDropEvent *event)
{
    if (event->mimeData()->hasUrls()) {
        const QList<QUrl> urls = event->mimeData()->urls();
        for (const QUrl &url : urls) {
            if (url.isLocalFile()) {
                openBufferFile(url.toLocalFile());
                event->accept();
                return;
            }
        }
    }
    QWidget::dropEvent(event);
}
