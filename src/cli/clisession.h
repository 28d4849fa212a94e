#pragma once

#include "cli/clioptions.h"
#include "cli/console.h"
#include "cli/interruptwatcher.h"

#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class AProgrammer;
class QEventLoop;
class QFileDevice;

// One run of the program: opens the programmer, carries out the command of the options through
// the operation engine and reports it on the console. run() gives the process's exit status.
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

    explicit CliSession(const CliOptions &options, QObject *parent = nullptr);
    ~CliSession() override;

    int run();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void connectEngine();
    int openProgrammer();
    bool loadFile();
    // False, with a message, when --blocks or --all reach past the end of the loaded file and
    // --pad does not allow it.
    bool fileCoversBlocks();
    // The engine request of the command, or of the read before a save.
    std::function<bool()> request() const;
    // Files `request` and waits for the operation to end; true when it completed.
    bool runOperation(const std::function<bool()> &request);
    // Runs the event loop until `done` holds or Ctrl+C is pressed; false on Ctrl+C.
    bool waitUntil(const std::function<bool()> &done, int timeoutMs = -1);
    bool save(QFileDevice &file);
    void printInfo();
    void printHashes();
    void onInfo(const QString &text);
    void onFinished(const QString &status);

    const CliOptions options;
    Console console;
    InterruptWatcher interrupts;
    std::unique_ptr<AProgrammer> engine;
    QEventLoop *loop = nullptr;
    bool finished = false;
    QString status;
    QString chipName;
    QList<int> badBlocks;
    // The blocks the last read left out for want of good Flash blocks.
    QList<int> leftOut;
    // The digests of the last hash operation: CRC32, MD5, SHA1.
    QString digests[3];
};
