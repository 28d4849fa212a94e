#include "app/maindialog.h"

#include "app/rangehistory.h"
#include "app/settingskeys.h"
#include "dialogs/badblkeditor.h"
#include "dialogs/blockselection.h"
#include "dialogs/exitdialog.h"
#include "engine/aprogrammer.h"
#include "ui_maindialog.h"

#include <QCloseEvent>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QThread>
#include <QTimer>

namespace {

constexpr int FirstOpenDelayMs = 500;

QString blockNumbers(const QList<int> &blocks)
{
    QStringList numbers;
    for (const int block : blocks)
        numbers.append(QString::number(block));
    return numbers.join(QLatin1String(", "));
}

} // namespace

MainDialog::MainDialog(QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      ui(new Ui::MainDialog), engine(new AProgrammer(this)), blockSelection(new BlockSelection)
{
    ui->setupUi(this);
    setWindowTitle(QCoreApplication::organizationName() + QLatin1Char(' ') +
                   QCoreApplication::applicationName());
    ui->actionDeviceDisconnected->setChecked(true);
    connectSignals();
    recentMenu = new QMenu(tr("Recent files"), this);
    readSettings();
    ui->wButtons->setEnabled(engine->isReady());

    auto *openTimer = new QTimer(this);
    connect(openTimer, &QTimer::timeout, this, &MainDialog::firstOpen);
    openTimer->start(FirstOpenDelayMs);

    writeBanner();
    if (qEnvironmentVariableIsSet("NPX4_SIMULATOR"))
        addInfo(tr("Running on the simulated programmer (NPX4_SIMULATOR=%1), not on a real device")
                    .arg(qEnvironmentVariable("NPX4_SIMULATOR").toHtmlEscaped()));
}

MainDialog::~MainDialog()
{
    // The engine outlives the widgets (it is destroyed with the window's children) and may
    // still report while it winds down.
    engine->disconnect(this);
    writeSettings();
    blockSelection.reset();
    ui.reset();
}

void MainDialog::connectSignals()
{
    connect(ui->pbLoad, &QToolButton::clicked, this, &MainDialog::loadFile);
    connect(ui->pbSaveAs, &QToolButton::clicked, this, [this] { saveFileAs(); });
    connect(ui->pbAbort, &QPushButton::clicked, this, &MainDialog::abortOperation);
    connect(ui->pbAutoProgram, &QToolButton::clicked, engine, &AProgrammer::autoProgramAuto);
    connect(ui->pbProgram, &QToolButton::clicked, engine, &AProgrammer::programAuto);
    connect(ui->pbErase, &QToolButton::clicked, engine, qOverload<>(&AProgrammer::erase));
    connect(ui->pbRead, &QToolButton::clicked, engine, &AProgrammer::readAuto);
    connect(ui->pbVerify, &QToolButton::clicked, engine, &AProgrammer::verifyAuto);
    connect(ui->pbCheck, &QToolButton::clicked, engine, qOverload<>(&AProgrammer::check));
    connect(ui->pbInfo, &QToolButton::clicked, engine, qOverload<>(&AProgrammer::information));
    connect(ui->pbCalcHash, &QToolButton::clicked, engine, &AProgrammer::calcHashAuto);
    connect(ui->pbUpdate, &QToolButton::clicked, engine, &AProgrammer::update);
    connect(ui->pbClose, &QPushButton::clicked, engine, &AProgrammer::abort);

    connect(engine, &AProgrammer::info, this, &MainDialog::addInfo);
    connect(engine, &AProgrammer::error, this, &MainDialog::addError);
    // The worker's begin signals arrive queued; work the engine does in this thread (buffer
    // files, firmware upgrade) reports its begin directly, and is marked here first.
    connect(
        engine, &AProgrammer::operationBegin, this,
        [this] {
            if (QThread::currentThread() == thread())
                beginInWindowThread = true;
        },
        Qt::DirectConnection);
    connect(engine, &AProgrammer::operationBegin, this, &MainDialog::beginOperation);
    connect(engine, &AProgrammer::operationFinished, this, &MainDialog::endOperation);
    connect(engine, &AProgrammer::progress, this, &MainDialog::progress);
    connect(engine, &AProgrammer::deviceConnected, this, &MainDialog::deviceConnected);
    connect(engine, &AProgrammer::deviceDisconnected, this, &MainDialog::deviceDisconnected);
    connect(engine, &AProgrammer::fwUpgradeNeed, this, &MainDialog::fwUpgradeNeeded);
    connect(engine, &AProgrammer::fwUpgradeProgress, this, &MainDialog::fwUpgradeProgress);
    connect(engine, &AProgrammer::chipInfo, this, &MainDialog::onChipInfoEmitted);
}

void MainDialog::readSettings()
{
    const QSettings settings;
    resize(settings.value(SettingsKeys::WindowSize, size()).toSize());
    recentFiles = settings.value(SettingsKeys::RecentFiles).toStringList();
    updateRecentMenu();
    rangeHistory = rangeHistoryFromVariants(settings.value(SettingsKeys::Blocks).toList(),
                                            engine->blockCount());
    updateBlockMenus();
    ui->chbReadOnly->setChecked(settings.value(SettingsKeys::ReadOnly, true).toBool());
}

void MainDialog::writeSettings()
{
    QSettings settings;
    settings.setValue(SettingsKeys::RecentFiles, recentFiles);
    settings.setValue(SettingsKeys::Blocks, rangeHistoryToVariants(rangeHistory));
    settings.setValue(SettingsKeys::ReadOnly, ui->chbReadOnly->isChecked());
    settings.setValue(SettingsKeys::WindowSize, size());
}

void MainDialog::firstOpen()
{
    if (!engine->open(0))
        addError(tr("Failed to open programmer device. Is it connected?"));
    if (sender())
        sender()->deleteLater();
}

void MainDialog::abortOperation()
{
    engine->abort();
}

void MainDialog::deviceConnected()
{
    addInfo(tr("Programmer device successfully opened"));
    ui->actionDeviceDisconnected->setChecked(false);
    updateEccBox();
    ui->chbUseEcc->setChecked(engine->isEccEnabled());
}

void MainDialog::deviceDisconnected()
{
    addError(tr("Programmer device disconnected"));
    ui->actionDeviceDisconnected->setChecked(true);
    updateEccBox();
}

void MainDialog::updateEccBox()
{
    // Switching ECC waits for a running operation to end, which would freeze the window.
    ui->chbUseEcc->setEnabled(!ui->actionDeviceDisconnected->isChecked() &&
                              !ui->actionBusy->isChecked() && engine->isEccSupported());
}

void MainDialog::on_chbUseEcc_toggled(bool value)
{
    engine->setEcc(value);
}

void MainDialog::fwUpgradeNeeded(QString oldVer, QString newVer)
{
    // Reported while the engine is still opening the programmer, which holds the engine until
    // it returns: the question waits for that, so that the upgrade can run.
    QTimer::singleShot(0, this, [this, oldVer, newVer] { askFirmwareUpgrade(oldVer, newVer); });
}

void MainDialog::askFirmwareUpgrade(const QString &oldVer, const QString &newVer)
{
    const QMessageBox::StandardButton answer = QMessageBox::information(
        this, tr("Device firmware upgrade available"),
        tr("New version of firmware for your device is available.\nCurrent version is %1.\nDo "
           "you want to proceed upgrade to version %2 now?")
            .arg(oldVer, newVer),
        QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes)
        engine->fwUprgade();
}

void MainDialog::onChipInfoEmitted(QString name, QList<int> badBlocks)
{
    QList<int> list = badBlocks;
    BadBlkEditor::Changes changes;
    if (!BadBlkEditor::editBadBlocks(name, list, &changes))
        return;
    if (!changes.removed.isEmpty())
        QMessageBox::information(
            this, tr("Bad blocks"),
            tr("Removing a block from the list does not make it good again: %n block(s) stay "
               "marked bad on the chip: %1.",
               nullptr, int(changes.removed.size()))
                .arg(blockNumbers(changes.removed)));
    if (!changes.added.isEmpty())
        markAddedBadBlocks(changes.added);
}

void MainDialog::markAddedBadBlocks(const QList<int> &added)
{
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Mark bad blocks"),
        tr("Mark %n block(s) as bad on the chip: %1?\n\nThis cannot be undone: a block marked "
           "bad is never used again.",
           nullptr, int(added.size()))
            .arg(blockNumbers(added)),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer == QMessageBox::Yes && !engine->setBadBlocks(added))
        addError(tr("The blocks were not marked bad: the programmer is busy."));
}

void MainDialog::closeEvent(QCloseEvent *event)
{
    ExitDialog dialog;
    QSettings settings;
    dialog.setAskOnExit(settings.value(SettingsKeys::AskOnExit, true).toBool());
    const bool running = ui->actionBusy->isChecked();
    dialog.setOperationRunning(running);
    if (dialog.askOnExit() && dialog.exec() != QDialog::Accepted) {
        event->ignore();
        return;
    }
    // The running operation stops before its next block; no further phase of it begins.
    if (running)
        engine->abort();
    event->accept();
    settings.setValue(SettingsKeys::AskOnExit, dialog.askOnExit());
}
