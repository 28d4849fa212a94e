#include "app/maindialog.h"

#include "app/menuarrowclick.h"
#include "app/rangehistory.h"
#include "app/settingskeys.h"
#include "dialogs/badblkeditor.h"
#include "dialogs/blockselection.h"
#include "dialogs/exitdialog.h"
#include "engine/aprogrammer.h"
#include "engine/chipgeometry.h"
#include "ui_maindialog.h"
#include "usb/programmerbackend.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QShortcut>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <utility>

namespace {

constexpr int FirstOpenDelayMs = 500;
// How often the elapsed time of a running operation is brought up to date between progress
// reports.
constexpr int MeterRefreshMs = 1000;

QString blockNumbers(const QList<int> &blocks)
{
    QStringList numbers;
    for (const int block : blocks)
        numbers.append(QString::number(block));
    return numbers.join(QLatin1String(", "));
}

void appendToolTip(QWidget *widget, const QString &line)
{
    widget->setToolTip(widget->toolTip() + QLatin1Char('\n') + line);
}

// The first logical block that marking `added` bad moves on a chip whose bad blocks are `bad`,
// or -1: logical block L lives in the (L+1)-th good block, so a block that turns bad moves the
// logical block it held and every later one to the next good block.
int firstMovedBlock(const QList<int> &added, const QList<int> &bad)
{
    const BlockMap map = BlockMap::withBadBlocks(bad);
    int first = -1;
    for (const int block : added) {
        if (map.state(block) != BlockMap::Bad && (first < 0 || block < first))
            first = block;
    }
    return first < 0 ? -1 : map.logical(first);
}

} // namespace

MainDialog::MainDialog(const ProgrammerBackend &backend, QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      ui(new Ui::MainDialog), engine(new AProgrammer(this)), blockSelection(new BlockSelection)
{
    // The icon the form names is compiled into this library.
    Q_INIT_RESOURCE(icons);
    ui->setupUi(this);
    setWindowTitle(QCoreApplication::organizationName() + QLatin1Char(' ') +
                   QCoreApplication::applicationName());
    ui->lbChipStatus->hide();
    auto *arrowClick = new MenuArrowClick(this);
    for (QToolButton *button : {ui->pbAutoProgram, ui->pbProgram, ui->pbErase, ui->pbRead,
                                ui->pbVerify, ui->pbCheck, ui->pbSaveAs, ui->pbCalcHash}) {
        appendToolTip(button, tr("Click the small arrow, or hold the button down, to choose "
                                 "block ranges"));
        button->installEventFilter(arrowClick);
    }
    meterTimer = new QTimer(this);
    meterTimer->setInterval(MeterRefreshMs);
    connect(meterTimer, &QTimer::timeout, this,
            [this] { ui->lbProgressInfo->setText(meter.details()); });

    ui->actionDeviceDisconnected->setChecked(true);
    connectSignals();
    addShortcuts();
    recentMenu = new QMenu(tr("Recent files"), this);
    readSettings();
    ui->wButtons->setEnabled(engine->isReady());

    auto *openTimer = new QTimer(this);
    openTimer->setSingleShot(true);
    connect(openTimer, &QTimer::timeout, this, &MainDialog::firstOpen);
    openTimer->start(FirstOpenDelayMs);

    writeBanner();
    if (backend.isSimulated())
        addInfo(tr("Running on the simulated programmer (NPX4_SIMULATOR=%1), not on a real device")
                    .arg(QString::fromUtf8(backend.simulatorKeys()).toHtmlEscaped()));
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
    connect(ui->pbAutoProgram, &QToolButton::clicked, this,
            [this] { requestBufferImage(AProgrammer::AutoProgram); });
    connect(ui->pbProgram, &QToolButton::clicked, this,
            [this] { requestBufferImage(AProgrammer::Program); });
    connect(ui->pbErase, &QToolButton::clicked, this, &MainDialog::eraseFlash);
    connect(ui->pbRead, &QToolButton::clicked, this, &MainDialog::readFlash);
    connect(ui->pbVerify, &QToolButton::clicked, this,
            [this] { requestBufferImage(AProgrammer::Verify); });
    connect(ui->pbCheck, &QToolButton::clicked, engine, qOverload<>(&AProgrammer::check));
    connect(ui->pbInfo, &QToolButton::clicked, engine, qOverload<>(&AProgrammer::information));
    connect(ui->pbCalcHash, &QToolButton::clicked, engine, &AProgrammer::calcHashAuto);
    connect(ui->pbUpdate, &QToolButton::clicked, engine, &AProgrammer::update);
    connect(ui->pbClose, &QPushButton::clicked, engine, &AProgrammer::abort);

    connect(engine, &AProgrammer::info, this, &MainDialog::addInfo);
    connect(engine, &AProgrammer::error, this, &MainDialog::addError);
    connect(engine, &AProgrammer::phaseProgress, this, &MainDialog::phaseProgress);
    connect(engine, &AProgrammer::operationResult, this, &MainDialog::operationResult);
    connect(engine, &AProgrammer::operationBegin, this, &MainDialog::beginOperation);
    connect(engine, &AProgrammer::operationFinished, this, &MainDialog::endOperation);
    connect(engine, &AProgrammer::progress, this, &MainDialog::progress);
    connect(engine, &AProgrammer::blocksLeftOut, this, &MainDialog::leaveOutOfProgress);
    connect(engine, &AProgrammer::deviceConnected, this, &MainDialog::deviceConnected);
    connect(engine, &AProgrammer::deviceDisconnected, this, &MainDialog::deviceDisconnected);
    connect(engine, &AProgrammer::fwUpgradeNeed, this, &MainDialog::fwUpgradeNeeded);
    connect(engine, &AProgrammer::fwUpgradeProgress, this, &MainDialog::fwUpgradeProgress);
    connect(engine, &AProgrammer::chipInfo, this, &MainDialog::onChipInfoEmitted);
}

void MainDialog::addShortcuts()
{
    const auto shortcut = [this](const QKeySequence &keys, QWidget *shownOn) {
        appendToolTip(shownOn, tr("Shortcut: %1").arg(keys.toString(QKeySequence::NativeText)));
        return new QShortcut(keys, this);
    };
    // A click on a disabled button does nothing: the keys work where the button does.
    using KeysAndButton = std::pair<QKeySequence, QAbstractButton *>;
    for (const auto &[keys, button] : {KeysAndButton(Qt::CTRL | Qt::Key_O, ui->pbLoad),
                                       KeysAndButton(Qt::CTRL | Qt::Key_S, ui->pbSaveAs),
                                       KeysAndButton(Qt::Key_Escape, ui->pbAbort)})
        connect(shortcut(keys, button), &QShortcut::activated, button, &QAbstractButton::click);
    // Closing goes through the window's close, which asks first; the Close button would also
    // abort a running operation.
    connect(shortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), ui->pbClose), &QShortcut::activated, this,
            &QWidget::close);
}

QSize MainDialog::defaultSize()
{
    // A digest line of the log: the time, "SHA1: " and 40 bold hexadecimal digits.
    QFont bold = ui->tbLog->font();
    bold.setBold(true);
    const QFontMetrics metrics(bold);
    int digit = 0;
    for (const QChar c : QStringLiteral("0123456789ABCDEF"))
        digit = qMax(digit, metrics.horizontalAdvance(c));
    const int line = metrics.horizontalAdvance(QStringLiteral("00:00:00: SHA1: ")) + 40 * digit;
    const int wanted = line + 2 * int(ui->tbLog->document()->documentMargin()) +
                       2 * ui->tbLog->frameWidth() +
                       style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, ui->tbLog);
    layout()->activate();
    return size() + QSize(qMax(0, wanted - ui->tbLog->width()), 0);
}

void MainDialog::readSettings()
{
    const QSettings settings;
    resize(settings.value(SettingsKeys::WindowSize, defaultSize()).toSize());
    recentFiles = settings.value(SettingsKeys::RecentFiles).toStringList();
    updateRecentMenu();
    rangeHistory = rangeHistoryFromVariants(settings.value(SettingsKeys::Blocks).toList(),
                                            engine->blockCount());
    updateBlockMenus();
    setUpChipMenu();
    ui->chbReadOnly->setChecked(settings.value(SettingsKeys::ReadOnly, true).toBool());
}

void MainDialog::writeSettings()
{
    QSettings settings;
    settings.setValue(SettingsKeys::RecentFiles, recentFiles);
    settings.setValue(SettingsKeys::Blocks, rangeHistoryToVariants(rangeHistory));
    settings.setValue(SettingsKeys::ReadOnly, ui->chbReadOnly->isChecked());
    settings.setValue(SettingsKeys::WindowSize, size());
    writeChipSettings(settings);
}

void MainDialog::firstOpen()
{
    // Stopped before the open, which processes events: neither those nor the event loop of an
    // upgrade question it raises may run this again, and a deferred deletion waits for the
    // outer event loop.
    if (auto *timer = qobject_cast<QTimer *>(sender())) {
        timer->stop();
        timer->deleteLater();
    }
    // A file named on the command line is loaded first: the load holds the engine, so the
    // programmer could not be opened meanwhile.
    if (!startFile.isEmpty())
        openBufferFile(std::exchange(startFile, QString()));
    if (!engine->open(0))
        addError(tr("Failed to open programmer device. Is it connected?"));
}

void MainDialog::loadFileAtStart(const QString &path)
{
    startFile = QFileInfo(path).absoluteFilePath();
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
    // Another chip may be in the next programmer.
    ui->lbChipStatus->hide();
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
    // Gathering chip information moves no data: its blocks are not worth a rate.
    meter.finish();
    QString status = tr("Chip: <b>%1</b>, %n bad block(s)", nullptr, int(badBlocks.size()))
                         .arg(name.toHtmlEscaped());
    const QString organisation = ChipGeometry::fromId(engine->chipIdBytes()).description();
    if (!organisation.isEmpty())
        status += QStringLiteral("<br>") + organisation.toHtmlEscaped();
    ui->lbChipStatus->setText(status);
    ui->lbChipStatus->show();
    QList<int> list = badBlocks;
    BadBlkEditor::Changes changes;
    // Read-only mode never changes the chip: the editor only shows the list.
    if (!BadBlkEditor::editBadBlocks(name, list, &changes, ui->chbReadOnly->isChecked()))
        return;
    if (!changes.removed.isEmpty())
        QMessageBox::information(
            this, tr("Bad blocks"),
            tr("Removing a block from the list does not make it good again: %n block(s) stay "
               "marked bad on the chip: %1.",
               nullptr, int(changes.removed.size()))
                .arg(blockNumbers(changes.removed)));
    if (!changes.added.isEmpty())
        markAddedBadBlocks(changes.added, badBlocks);
}

void MainDialog::markAddedBadBlocks(const QList<int> &added, const QList<int> &bad)
{
    QString question = tr("Mark %n block(s) as bad on the chip: %1?\n\nThis cannot be undone: a "
                          "block marked bad is never used again.",
                          nullptr, int(added.size()))
                           .arg(blockNumbers(added));
    question += QLatin1String("\n\n") + movedBlocksWarning(firstMovedBlock(added, bad));
    const QMessageBox::StandardButton answer =
        QMessageBox::question(this, tr("Mark bad blocks"), question.trimmed(),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer == QMessageBox::Yes && !engine->setBadBlocks(added))
        addError(tr("The blocks were not marked bad: the programmer is busy."));
}

QString MainDialog::movedBlocksWarning(int firstMoved) const
{
    if (firstMoved < 0)
        return QString();
    // The image in the buffer is the one most likely written; without a directory its extent is
    // unknown, and every later block may belong to an image.
    const QList<int> image = engine->bufferDirectoryBlocks();
    if (image.isEmpty())
        return tr("Block %1 and every later block then move to the next good block: an image "
                  "already written there no longer verifies and must be written again.")
            .arg(firstMoved);
    QList<int> moved;
    for (const int block : image) {
        if (block >= firstMoved && block < engine->blockCount())
            moved.append(block);
    }
    if (moved.isEmpty())
        return QString();
    return tr("The image blocks %1 of the image in the buffer then move to the next good block: "
              "that image, if already written, no longer verifies and must be written again.")
        .arg(BlockRangeList::fromBlocks(moved).toString());
}

void MainDialog::readFlash()
{
    if (confirmBufferReplaced() && engine->readAuto())
        phasesBeforeRead = 1; // the image directory is read first
}

void MainDialog::eraseFlash()
{
    if (confirmWholeErase())
        engine->erase();
}

bool MainDialog::confirmWholeErase()
{
    return QMessageBox::question(this, tr("Erase whole Flash"),
                                 tr("Erase the whole Flash?\n\nEvery block of the chip is "
                                    "erased: its image and all other data are lost."),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

bool MainDialog::confirmBufferReplaced()
{
    return !bufferFromFlash ||
           QMessageBox::question(this, tr("Unsaved buffer"),
                                 tr("The buffer holds data read from the Flash that was not "
                                    "saved to a file. It will be replaced.\n\nGo on?"),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void MainDialog::closeEvent(QCloseEvent *event)
{
    ExitDialog dialog;
    QSettings settings;
    dialog.setAskOnExit(settings.value(SettingsKeys::AskOnExit, true).toBool());
    const bool running = ui->actionBusy->isChecked();
    dialog.setOperationRunning(running);
    // Data that would be lost is worth a question even when the user asked for none, and so is
    // an operation that closing would abort.
    dialog.setUnsavedBuffer(bufferFromFlash);
    if ((dialog.askOnExit() || bufferFromFlash || running) && dialog.exec() != QDialog::Accepted) {
        event->ignore();
        return;
    }
    // The running operation stops before its next block; no further phase of it begins.
    if (running)
        engine->abort();
    event->accept();
    settings.setValue(SettingsKeys::AskOnExit, dialog.askOnExit());
}
