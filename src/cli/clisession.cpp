#include "cli/clisession.h"

#include "cli/imagedigests.h"
#include "cli/jsonresult.h"
#include "cli/plaintext.h"
#include "engine/aprogrammer.h"
#include "engine/blockrange.h"
#include "engine/chipgeometry.h"
#include "engine/chipid.h"
#include "engine/imagefile.h"
#include "protocol/programmer.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <algorithm>

namespace {

// How long the programmer may take to show up, and the pause between attempts to open it.
constexpr int OpenTimeoutMs = 3000;
constexpr int OpenRetryMs = 200;

bool isStandardStream(const QString &file)
{
    return file == QLatin1String("-");
}

QString hex(const QByteArray &digest)
{
    return QString::fromLatin1(digest.toHex());
}

QJsonArray blockArray(const QList<int> &blocks)
{
    QJsonArray array;
    for (const int block : blocks)
        array.append(block);
    return array;
}

QString faultKey(OperationResult::BlockFault::Kind kind)
{
    switch (kind) {
    case OperationResult::BlockFault::Erase:
        return QStringLiteral("erase");
    case OperationResult::BlockFault::Program:
        return QStringLiteral("program");
    case OperationResult::BlockFault::Read:
        return QStringLiteral("read");
    case OperationResult::BlockFault::Compare:
        break;
    }
    return QStringLiteral("compare");
}

// The engine request of a command.
AProgrammer::OperationKind requestKind(CliOptions::Command command)
{
    switch (command) {
    case CliOptions::Read:
        return AProgrammer::Read;
    case CliOptions::Write:
        return AProgrammer::Program;
    case CliOptions::AutoWrite:
        return AProgrammer::AutoProgram;
    case CliOptions::Update:
        return AProgrammer::Update;
    case CliOptions::Verify:
        return AProgrammer::Verify;
    case CliOptions::Erase:
        return AProgrammer::Erase;
    case CliOptions::BlankCheck:
        return AProgrammer::Check;
    case CliOptions::Hash:
        return AProgrammer::CalcHash;
    case CliOptions::Test:
        return AProgrammer::SurfaceTest;
    case CliOptions::Info:
    case CliOptions::NoCommand:
    case CliOptions::UpgradeFirmware:
    case CliOptions::List:
        break;
    }
    return AProgrammer::Information;
}

} // namespace

CliSession::CliSession(const CliOptions &options, SessionOutput &output,
                       InterruptWatcher &interrupts, QObject *parent)
    : QObject(parent), options(options), console(output), interrupts(interrupts)
{
    record.command = options.commandName();
    record.serialNumber = options.serials.value(0);
    connect(&interrupts, &InterruptWatcher::interrupted, this, [this] {
        console.error(tr("Interrupted: stopping..."));
        if (engine)
            engine->abort();
        if (loop)
            loop->quit();
    });
}

CliSession::~CliSession() = default;

int CliSession::run()
{
    record.start = QDateTime::currentDateTimeUtc();
    const int status = runCommand();
    record.end = QDateTime::currentDateTimeUtc();
    if (status == Success)
        record.result = ChipRecord::Succeeded;
    else
        record.result = interrupts.isInterrupted() ? ChipRecord::Aborted : ChipRecord::Failed;
    return status;
}

int CliSession::runCommand()
{
    const bool standardStream = isStandardStream(options.file);
    if (options.loadsFile() && !standardStream && !QFile::exists(options.file)) {
        showError(tr("The file \"%1\" does not exist").arg(options.file));
        return UsageError;
    }
    // Null for standard output.
    std::unique_ptr<QFileDevice> output;
    if (options.command == CliOptions::Read && !standardStream) {
        // Opened before the chip is read, so that a place that cannot take the file is known
        // at once.
        output = createImageFile(options.file, false);
        if (!output->open(QIODevice::WriteOnly)) {
            showError(
                tr("Cannot write the file \"%1\": %2").arg(options.file, output->errorString()));
            return UsageError;
        }
    }

    engine = std::make_unique<AProgrammer>();
    // The engine's own device poll would open programmer 0 whenever none is open, also in
    // place of the one --device names; this program opens the programmer itself.
    engine->setAutoOpen(false);
    connectEngine();

    const int opened = openProgrammer();
    if (opened != Success)
        return opened;
    // Ctrl+C while the programmer was being opened: nothing is started.
    if (interrupts.isInterrupted())
        return OperationFailed;
    if (!options.ecc)
        engine->setEcc(false);
    engine->setForceGeometry(options.forceGeometry);
    engine->setBadBlockLimit(options.maxBad);
    engine->setReadRepeat(options.repeat);
    engine->setBitflipTolerance(options.maxBitflips);
    const quint16 version = engine->findChild<Programmer *>()->fwVersion();
    record.firmware = QStringLiteral("%1.%2").arg(version >> 8).arg(version & 0xFF);
    record.serialNumber = engine->findChild<Programmer *>()->serialNumber();

    if (options.command == CliOptions::UpgradeFirmware)
        return engine->fwUprgade() && !interrupts.isInterrupted() ? Success : OperationFailed;
    if (options.loadsFile() && !loadFile())
        return OperationFailed;
    if (options.loadsFile() && !fileCoversBlocks())
        return UsageError;
    const bool completed = runOperation();
    noteChip();
    // The differences are the point of a failed verify.
    if (!options.diff.isEmpty() && !writeDifferences())
        return OperationFailed;
    if (!completed)
        return OperationFailed;

    switch (options.command) {
    case CliOptions::Info:
        printInfo();
        break;
    case CliOptions::Hash:
        noteDigests(result.digests);
        printHashes();
        break;
    case CliOptions::Read:
        return save(output.get()) ? Success : OperationFailed;
    case CliOptions::Test:
        return printSurfaceTest() ? Success : OperationFailed;
    case CliOptions::Write:
    case CliOptions::AutoWrite:
    case CliOptions::Update:
    case CliOptions::Verify:
        // What the chip now holds, or was found to hold, is the loaded image.
        noteDigests(engine->bufferDigests());
        break;
    default:
        break;
    }
    return Success;
}

void CliSession::connectEngine()
{
    AProgrammer *e = engine.get();
    connect(e, &AProgrammer::info, this, [this](const QString &text) { console.info(text); });
    connect(e, &AProgrammer::error, this, &CliSession::showError);
    // The key and size of a phase come right before its begin; later steps are its progress.
    connect(e, &AProgrammer::phaseProgress, this,
            [this](const QString &phase, int done, int total) {
                if (done > 0) {
                    console.progress(done, total);
                    return;
                }
                nextPhase = phase;
                nextTotal = total;
            });
    connect(e, &AProgrammer::operationBegin, this,
            [this](const QString &title) { console.beginPhase(title, nextPhase, nextTotal); });
    connect(e, &AProgrammer::operationFinished, this, &CliSession::onFinished);
    connect(e, &AProgrammer::operationResult, this, &CliSession::onResult);
    connect(e, &AProgrammer::fwUpgradeNeed, this,
            [this](const QString &oldVersion, const QString &newVersion) {
                if (options.command != CliOptions::UpgradeFirmware) {
                    console.info(tr("The programmer's firmware %1 is older than %2: "
                                    "\"npx4-cli upgrade-firmware\" upgrades it")
                                     .arg(oldVersion, newVersion));
                }
            });
}

int CliSession::openProgrammer()
{
    QDeadlineTimer deadline(OpenTimeoutMs);
    const auto open = [this] {
        return options.serials.isEmpty() ? engine->open(options.device)
                                         : engine->openSerial(options.serials.first());
    };
    while (!open()) {
        if (deadline.hasExpired()) {
            showError(tr("No programmer found: %1").arg(engine->openError()));
            return NoProgrammer;
        }
        if (!waitUntil([] { return false; }, OpenRetryMs))
            return OperationFailed;
    }
    return Success;
}

void CliSession::noteChip()
{
    record.chipId = result.chipId;
    if (!record.chipId.isEmpty() && !isChipMissing(record.chipId))
        record.chip = chipName(record.chipId);
    record.newlyBad = result.newlyBad;
    record.badBefore.clear();
    for (const int block : std::as_const(result.badBlocks)) {
        if (!record.newlyBad.contains(block))
            record.badBefore.append(block);
    }
    std::sort(record.badBefore.begin(), record.badBefore.end());
    record.blocks = int(result.done.size());
    record.bytes = result.bytes;
    record.eccCorrections =
        int(std::count_if(result.eccEvents.cbegin(), result.eccEvents.cend(),
                          [](const EccEvent &event) { return event.kind == EccEvent::Corrected; }));
    record.status = OperationResult::statusKey(result.status);
    record.organisation = ChipGeometry::fromId(record.chipId).description();
    record.badBlockLimit = engine->badBlockLimit(record.chipId);
    record.failedBlocks.clear();
    for (const OperationResult::BlockFault &fault : std::as_const(result.faults))
        record.failedBlocks.append(fault.block);
    record.differences = QJsonArray();
    for (const OperationResult::Difference &d : std::as_const(result.differences)) {
        record.differences.append(QJsonObject{{QStringLiteral("block"), d.block},
                                              {QStringLiteral("physical"), d.physical},
                                              {QStringLiteral("offset"), qint64(d.offset)},
                                              {QStringLiteral("imageOffset"), d.imageOffset},
                                              {QStringLiteral("bytes"), d.bytes},
                                              {QStringLiteral("bitsCleared"), d.bitsCleared},
                                              {QStringLiteral("bitsSet"), d.bitsSet}});
    }
    record.unstableBlocks = QJsonArray();
    for (const OperationResult::UnstableBlock &u : std::as_const(result.unstable)) {
        record.unstableBlocks.append(
            QJsonObject{{QStringLiteral("block"), u.block},
                        {QStringLiteral("disagreeingReads"), u.disagreeingReads},
                        {QStringLiteral("bytes"), u.unstableBytes},
                        {QStringLiteral("decided"), u.decided}});
    }
    record.toleratedBits = result.toleratedBits;
    record.blankSkipped = result.blankSkipped;
}

bool CliSession::loadFile()
{
    QBuffer standardInput;
    standardInput.setData(inputImage);
    QFile file(options.file);
    QIODevice *input = &file;
    if (isStandardStream(options.file))
        input = &standardInput;
    if (!input->open(QIODevice::ReadOnly)) {
        showError(tr("Cannot read the file \"%1\": %2").arg(options.file, input->errorString()));
        return false;
    }
    return engine->loadBuffer(input) && !interrupts.isInterrupted();
}

bool CliSession::fileCoversBlocks()
{
    if (options.pad || options.extent == CliOptions::Automatic)
        return true;
    const int last = options.extent == CliOptions::Listed
                         ? *std::max_element(options.blocks.begin(), options.blocks.end())
                         : Programmer::blockCount() - 1;
    const qint64 blockSize = Programmer::blockSize();
    const int covered = int((engine->loadedFileSize() + blockSize - 1) / blockSize);
    if (last < covered)
        return true;
    const QString blocks = covered > 0 ? QStringLiteral("0...%1").arg(covered - 1) : tr("none");
    showError(tr("The file \"%1\" covers the blocks %2 only: the blocks to work on reach past "
                 "its end (--pad counts the rest as 0xFF)")
                  .arg(options.file, blocks));
    return false;
}

bool CliSession::request()
{
    const AProgrammer::OperationKind kind = requestKind(options.command);
    AProgrammer::RequestOptions flags;
    flags.setFlag(AProgrammer::PhysicalBlocks, options.physical);
    flags.setFlag(AProgrammer::KeepData, options.keep);
    flags.setFlag(AProgrammer::MarkFailed, options.markBad);
    flags.setFlag(AProgrammer::NoReadBack, options.noVerify);
    flags.setFlag(AProgrammer::ProgramBlank, options.programBlank);
    flags.setFlag(AProgrammer::CompareData, options.compare);
    switch (options.extent) {
    case CliOptions::Listed:
        return engine->request(kind, BlockScope::list(options.blocks), flags);
    case CliOptions::WholeChip:
        return engine->request(kind, BlockScope::wholeFlash(), flags);
    case CliOptions::Automatic:
        break;
    }
    return engine->request(kind, BlockScope::imageExtent(), flags);
}

bool CliSession::runOperation()
{
    finished = false;
    result = OperationResult();
    if (!request()) {
        showError(tr("The operation was not started"));
        return false;
    }
    // Ctrl+C ends the first wait and aborts the operation, which then stops before its next
    // block: the second wait sees it end.
    if (!waitUntil([this] { return finished; }))
        waitUntil([this] { return finished; });
    if (interrupts.isInterrupted())
        return false;
    return result.succeeded();
}

bool CliSession::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QEventLoop events;
    loop = &events;
    QTimer timer;
    timer.setSingleShot(true);
    if (timeoutMs >= 0) {
        connect(&timer, &QTimer::timeout, &events, &QEventLoop::quit);
        timer.start(timeoutMs);
    }
    const bool wasInterrupted = interrupts.isInterrupted();
    while (!done() && (wasInterrupted || !interrupts.isInterrupted()) &&
           (timeoutMs < 0 || timer.isActive()))
        events.exec();
    loop = nullptr;
    return wasInterrupted || !interrupts.isInterrupted();
}

bool CliSession::save(QFileDevice *file)
{
    // What the read left out, for want of good Flash blocks, is not part of the file.
    const QList<int> &blocks = result.done;
    // Standard output: the image is put together in memory first, where its digests are
    // taken too.
    QBuffer memory;
    memory.open(QIODevice::ReadWrite);
    QIODevice *target = file ? static_cast<QIODevice *>(file) : &memory;
    // A file that is not committed leaves the old one as it was.
    if (!engine->saveBuffer(target, blocks) || interrupts.isInterrupted())
        return false;
    if (!file)
        return writeStandardOutput(memory);
    if (!commitImageFile(*file)) {
        showError(tr("Cannot write the file \"%1\": %2").arg(options.file, file->errorString()));
        return false;
    }
    console.info(tr("Saved %n block(s) to \"%1\"", nullptr, int(blocks.size())).arg(options.file));
    // A device or a pipe cannot be read back.
    QFile saved(options.file);
    if (QFileInfo(options.file).isFile() && saved.open(QIODevice::ReadOnly))
        addDigests(saved, &record);
    return true;
}

bool CliSession::writeStandardOutput(QBuffer &image)
{
    image.seek(0);
    addDigests(image, &record);
    const QByteArray &bytes = image.data();
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) != size_t(bytes.size()) ||
        std::fflush(stdout) != 0) {
        showError(tr("Cannot write the image to standard output"));
        return false;
    }
    return true;
}

void CliSession::printInfo()
{
    const QString &firmware = record.firmware;
    if (options.json) {
        const QJsonObject object{
            {QStringLiteral("serial"), record.serialNumber},
            {QStringLiteral("firmware"), firmware},
            {QStringLiteral("chip"), record.chip},
            {QStringLiteral("chipId"), QString::fromLatin1(record.chipId.toHex())},
            {QStringLiteral("organisation"), record.organisation},
            {QStringLiteral("badBlocks"), blockArray(record.badBefore)},
            {QStringLiteral("badBlockLimit"), record.badBlockLimit},
            {QStringLiteral("withinBadBlockLimit"), record.withinBadBlockLimit()}};
        console.result(jsonLine(object));
        return;
    }
    QStringList bad;
    for (const int block : std::as_const(record.badBefore))
        bad.append(QString::number(block));
    console.result(QStringLiteral("Firmware: %1").arg(firmware));
    console.result(QStringLiteral("Chip: %1").arg(record.chip));
    console.result(
        QStringLiteral("Bad blocks: %1")
            .arg(bad.isEmpty() ? QStringLiteral("none") : bad.join(QLatin1String(", "))));
    if (!record.organisation.isEmpty())
        console.result(QStringLiteral("Organisation: %1").arg(record.organisation));
    if (record.badBlockLimit >= 0) {
        console.result(QStringLiteral("Bad-block limit: %1 (%2)")
                           .arg(record.badBlockLimit)
                           .arg(record.withinBadBlockLimit().toBool()
                                    ? QStringLiteral("within")
                                    : QStringLiteral("exceeded")));
    }
}

bool CliSession::writeDifferences()
{
    QFile file(options.diff);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        showError(tr("Cannot write the file \"%1\": %2").arg(options.diff, file.errorString()));
        return false;
    }
    QString text = QStringLiteral("# image-offset block physical offset expected actual bytes "
                                  "bits-1-to-0 bits-0-to-1\n");
    const auto hex = [](qint64 value, int width) {
        return QStringLiteral("%1").arg(value, width, 16, QLatin1Char('0'));
    };
    for (const OperationResult::Difference &d : std::as_const(result.differences)) {
        text += QStringLiteral("0x%1 %2 %3 0x%4 0x%5 0x%6 %7 %8 %9\n")
                    .arg(hex(d.imageOffset, 8))
                    .arg(d.block)
                    .arg(d.physical)
                    .arg(hex(d.offset, 5), hex(d.expected, 2), hex(d.actual, 2))
                    .arg(d.bytes)
                    .arg(d.bitsCleared)
                    .arg(d.bitsSet);
    }
    if (file.write(text.toUtf8()) < 0 || !file.flush()) {
        showError(tr("Cannot write the file \"%1\": %2").arg(options.diff, file.errorString()));
        return false;
    }
    return true;
}

bool CliSession::printSurfaceTest()
{
    const int tested = int(result.done.size() - result.unread.size());
    if (options.json) {
        QJsonArray failed;
        for (const OperationResult::BlockFault &fault : std::as_const(result.faults)) {
            failed.append(QJsonObject{{QStringLiteral("block"), fault.block},
                                      {QStringLiteral("failure"), faultKey(fault.kind)},
                                      {QStringLiteral("bitsCleared"), fault.bitsCleared},
                                      {QStringLiteral("bitsSet"), fault.bitsSet}});
        }
        resultPrinted = true;
        console.result(
            jsonLine(QJsonObject{{QStringLiteral("tested"), tested},
                                 {QStringLiteral("failed"), failed},
                                 {QStringLiteral("notTested"), blockArray(result.unread)},
                                 {QStringLiteral("newlyBad"), blockArray(result.newlyBad)}}));
    } else {
        console.result(QStringLiteral("Tested: %1 block(s)").arg(tested));
        console.result(QStringLiteral("Failed: %1")
                           .arg(result.faults.isEmpty()
                                    ? QStringLiteral("none")
                                    : BlockRangeList::fromBlocks(record.failedBlocks).toString()));
    }
    if (result.faults.isEmpty())
        return true;
    showError(tr("%n block(s) failed the surface test", nullptr, int(result.faults.size())));
    return false;
}

void CliSession::printHashes()
{
    if (options.json) {
        console.result(jsonLine(QJsonObject{{QStringLiteral("crc32"), record.crc32},
                                            {QStringLiteral("md5"), record.md5},
                                            {QStringLiteral("sha1"), record.sha1},
                                            {QStringLiteral("sha256"), record.sha256}}));
        return;
    }
    console.result(QStringLiteral("CRC32: %1").arg(record.crc32.toUpper()));
    console.result(QStringLiteral("MD5: %1").arg(record.md5.toUpper()));
    console.result(QStringLiteral("SHA1: %1").arg(record.sha1.toUpper()));
    console.result(QStringLiteral("SHA256: %1").arg(record.sha256.toUpper()));
}

void CliSession::showError(const QString &text)
{
    record.error = plainText(text);
    console.error(text);
}

void CliSession::noteDigests(const Digests &digests)
{
    record.crc32 = hex(digests.crc32);
    record.md5 = hex(digests.md5);
    record.sha1 = hex(digests.sha1);
    record.sha256 = hex(digests.sha256);
}

void CliSession::onFinished(const QString &text)
{
    console.endPhase(text);
}

void CliSession::onResult(const OperationResult &ended)
{
    result = ended;
    finished = true;
    if (loop)
        loop->quit();
}
