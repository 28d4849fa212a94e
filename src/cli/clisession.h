#pragma once

#include "cli/chiprecord.h"
#include "cli/clioptions.h"
#include "cli/interruptwatcher.h"
#include "cli/sessionoutput.h"
#include "engine/operationresult.h"

#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class AProgrammer;
class QBuffer;
class QEventLoop;
class QFileDevice;

// One run of the command on one programmer: opens the programmer (--device, or the one
// --serial names), carries out the command of the options through the operation engine,
// reports it on `output` and keeps what it did to the chip in chipRecord(). run() gives the
// exit status. A session runs in the thread that created it; in gang mode each programmer's
// session has a thread of its own, and `interrupts` (of the main thread) aborts them all.
class CliSession : public QObject
{
    Q_OBJECT

public:
    enum ExitStatus
    {
        Success = 0,
        // The operation failed or was aborted.
        OperationFailed = 1,
        UsageError = 2,
        NoProgrammer = 3,
    };

    CliSession(const CliOptions &options, SessionOutput &output, InterruptWatcher &interrupts,
               QObject *parent = nullptr);
    ~CliSession() override;

    // The image of FILE "-", read from standard input once for every session.
    void setInputImage(const QByteArray &image) { inputImage = image; }
    int run();
    const ChipRecord &chipRecord() const { return record; }
    // True when the command printed its own result on a failure too (the surface test).
    bool printedResult() const { return resultPrinted; }

private:
    int runCommand();
    void connectEngine();
    int openProgrammer();
    // Notes the chip and its bad blocks, as the command's last phase found them, in the record.
    void noteChip();
    bool loadFile();
    // False, with a message, when --blocks or --all reach past the end of the loaded file and
    // --pad does not allow it.
    bool fileCoversBlocks();
    // Files the engine request of the command, or of the read before a save.
    bool request();
    // Files the request and waits for it to end; true when it completed.
    bool runOperation();
    // Runs the event loop until `done` holds or Ctrl+C is pressed; false on Ctrl+C.
    bool waitUntil(const std::function<bool()> &done, int timeoutMs = -1);
    // Saves the read blocks into `file`, or to standard output when it is null.
    bool save(QFileDevice *file);
    bool writeStandardOutput(QBuffer &image);
    void showError(const QString &text);
    // The digests of the data the command wrote or read, once it succeeded.
    void noteDigests(const Digests &digests);
    void printInfo();
    void printHashes();
    // The surface test's outcome; false, after an error line, when a block failed.
    bool printSurfaceTest();
    // The --diff file of a verify; false, after an error line, when it cannot be written.
    bool writeDifferences();
    bool resultPrinted = false;
    void onFinished(const QString &status);
    void onResult(const OperationResult &result);

    const CliOptions options;
    SessionOutput &console;
    InterruptWatcher &interrupts;
    QByteArray inputImage;
    ChipRecord record;
    std::unique_ptr<AProgrammer> engine;
    QEventLoop *loop = nullptr;
    // The phase the engine announced for the next operationBegin.
    QString nextPhase;
    int nextTotal = 0;
    bool finished = false;
    OperationResult result;
};
