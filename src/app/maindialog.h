#pragma once

#include "app/operationmeter.h"
#include "engine/aprogrammer.h"
#include "engine/blockrange.h"
#include "engine/blockscope.h"
#include "engine/operationresult.h"

#include <QList>
#include <QStringList>
#include <QUrl>
#include <QWidget>
#include <memory>

class BlockSelection;
class QAction;
class ProgrammerBackend;
class QMenu;
class QSettings;
class QTimer;
class QToolButton;

namespace Ui {
class MainDialog;
}

// The program's window. It owns the operation engine, turns clicks into engine requests and
// shows what the engine reports: a time-stamped log, the progress of the running operation, the
// state of the image buffer, the programmer's connection and the chip's bad blocks. Its buttons
// are enabled, disabled, shown and hidden through four checkable actions that serve as state
// flags (busy, all busy, read only, device disconnected); the code only checks and unchecks
// them.
//
// The log and status display, the buffer file commands and the block range menus live in
// maindialog_log.cpp, maindialog_files.cpp and maindialog_blocks.cpp; the surface test and the
// chip checks in maindialog_chip.cpp.
class MainDialog : public QWidget
{
    Q_OBJECT

public:
    // `backend` is the one start-up installed: the log tells when it is the simulated one.
    explicit MainDialog(const ProgrammerBackend &backend, QWidget *parent = nullptr);
    // Writes the settings.
    ~MainDialog() override;

    // Loads the image file at `path` into the buffer, as a file chosen with Load is, right
    // before the first programmer is opened; for a file named on the command line.
    void loadFileAtStart(const QString &path);

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void firstOpen();
    void abortOperation();
    void autoProgramBlocks();
    void programBlocks();
    void eraseBlocks();
    void readBlocks();
    void verifyBlocks();
    void checkBlocks();
    void hashBlocks();
    void loadFile();
    void loadRecentFile();
    // An empty list leaves the choice of the blocks to the engine.
    void saveFileAs(QList<int> blocks = QList<int>());
    void saveBlocksAs();
    void addInfo(QString text);
    void addError(QString text);
    void progress(int value);
    void phaseProgress(QString phase, int done, int total);
    // Blocks with no good Flash block left are not worked on: the bar ends full without them.
    void leaveOutOfProgress(QList<int> blocks);
    void operationResult(const OperationResult &result);
    void beginOperation(QString jobName);
    void endOperation(QString status);
    void deviceDisconnected();
    void deviceConnected();
    void fwUpgradeNeeded(QString oldVer, QString newVer);
    void fwUpgradeProgress(int current, int max);
    void on_tbLog_anchorClicked(QUrl url);
    void on_chbUseEcc_toggled(bool value);
    void onChipInfoEmitted(QString name, QList<int> badBlocks);
    // The Read and Erase buttons: each asks first where its work would be lost.
    void readFlash();
    void eraseFlash();

private:
    void connectSignals();
    void addShortcuts();
    // Wide enough that a digest line of the log does not wrap.
    QSize defaultSize();
    void readSettings();
    void writeSettings();
    // Usable while a programmer whose firmware knows ECC is connected and no operation runs.
    void updateEccBox();
    void askFirmwareUpgrade(const QString &oldVer, const QString &newVer);
    // Asks before the blocks the user added to the chip's list of bad blocks `bad` are marked
    // bad on the chip.
    void markAddedBadBlocks(const QList<int> &added, const QList<int> &bad);
    // What marking blocks bad does to an image written on the chip when logical block
    // `firstMoved` is the first to move (-1: none moves); empty when no image block moves.
    QString movedBlocksWarning(int firstMoved) const;

    // The log and the status display.
    void appendLog(const QString &html);
    // Gives the coloured text from `position` on colours that stand out from the log's
    // background.
    void fitColoursToPalette(int position);
    // After an image directory was missing, a line that says how to go on.
    void explainMissingDirectory(OperationResult::Status status);
    // Files a request over the image extent of the buffer; explains a missing directory.
    void requestBufferImage(AProgrammer::OperationKind kind);
    void addLogLine(const QString &format, const QString &text);
    void writeBanner();
    void setBufferLabel(const QString &html);

    // Work protection: each asks the user and returns whether to go on.
    bool confirmWholeErase();
    bool confirmBufferReplaced();

    // Buffer files.
    void openBufferFile(const QString &path);
    void setBufferFile(const QString &path);
    void updateRecentMenu();

    // The Bad blocks button's menu: surface test and chip checks.
    void setUpChipMenu();
    void writeChipSettings(QSettings &settings) const;
    void setBadBlockLimit(int limit);
    void chooseBadBlockLimit();
    void surfaceTest(const BlockScope &scope);

    // Block range menus.
    void fillBlockMenu(QToolButton *button, void (MainDialog::*slot)());
    void updateBlockMenus();
    QList<int> selectBlocks(const QString &title);
    // Asks for blocks with `title` and, when some were chosen, files a request over them.
    void requestOnBlocks(const QString &title, AProgrammer::OperationKind kind);

    std::unique_ptr<Ui::MainDialog> ui;
    QMenu *recentMenu = nullptr;
    QStringList recentFiles;
    AProgrammer *engine;
    std::unique_ptr<BlockSelection> blockSelection;
    QList<BlockRangeList> rangeHistory;
    // The phase the engine announced for its next begin, and its blocks.
    QString nextPhase;
    int nextTotal = 0;

    // Elapsed time, rate and time left of the running operation.
    OperationMeter meter;
    QTimer *meterTimer = nullptr;

    // The buffer holds data read from the Flash that was not saved to a file since.
    bool bufferFromFlash = false;
    // Phases still to begin before a requested read starts filling the buffer; -1: none.
    int phasesBeforeRead = -1;
    // The file named on the command line, loaded with the first open.
    QString startFile;
    QAction *forceGeometryAction = nullptr;
    QAction *badLimitAction = nullptr;
    // -1: the chip's datasheet limit.
    int badBlockLimit = -1;
};
