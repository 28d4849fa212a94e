#include "cli/clisession.h"

#include "cli/imagedigests.h"
#include "cli/jsonresult.h"
#include "cli/plaintext.h"
#include "engine/aprogrammer.h"
#include "engine/chipid.h"
#include "engine/imagefile.h"
#include "protocol/programmer.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
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

const char *const DigestFormats[3] = {"CRC32: <b>%1</b>", "MD5: <b>%1</b>", "SHA1: <b>%1</b>"};
const char *const DigestKeys[3] = {"crc32", "md5", "sha1"};

// The engine's texts in the engine's translation context, as it emits them.
QString engineText(const char *text)
{
    return QCoreApplication::translate("AProgrammer", text);
}

// The start of the line the block transfers log for each bit the ECC corrected.
QString eccCorrectionPrefix()
{
    return QCoreApplication::translate(
               "Programmer", "Correctable error found and fixed (block %1, offset 0x%2, bit %3)")
        .section(QLatin1String("%1"), 0, 0);
}

bool isStandardStream(const QString &file)
{
    return file == QLatin1String("-");
}

QList<int> wholeChip()
{
    QList<int> blocks;
    for (int block = 0; block < Programmer::blockCount(); ++block)
        blocks.append(block);
    return blocks;
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
    if (record.md5.isEmpty())
        noteDigests();
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
    engine->installEventFilter(this);
    connectEngine();

    const int opened = openProgrammer();
    if (opened != Success)
        return opened;
    // Ctrl+C while the programmer was being opened: nothing is started.
    if (interrupts.isInterrupted())
        return OperationFailed;
    if (!options.ecc)
        engine->setEcc(false);
    const quint16 version = engine->findChild<Programmer *>()->fwVersion();
    record.firmware = QStringLiteral("%1.%2").arg(version >> 8).arg(version & 0xFF);
    record.serialNumber = engine->findChild<Programmer *>()->serialNumber();

    if (options.command == CliOptions::UpgradeFirmware)
        return engine->fwUprgade() && !interrupts.isInterrupted() ? Success : OperationFailed;
    if (options.loadsFile() && !loadFile())
        return OperationFailed;
    if (options.loadsFile() && !fileCoversBlocks())
        return UsageError;
    counting = true;
    const bool completed = runOperation(request());
    counting = false;
    noteChip();
    if (!completed)
        return OperationFailed;

    switch (options.command) {
    case CliOptions::Info:
        printInfo();
        break;
    case CliOptions::Hash:
        printHashes();
        break;
    case CliOptions::Read:
        return save(output.get()) ? Success : OperationFailed;
    default:
        break;
    }
    return Success;
}

bool CliSession::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == engine.get() && event->type() == QEvent::Timer)
        return true;
    return QObject::eventFilter(watched, event);
}

void CliSession::connectEngine()
{
    AProgrammer *e = engine.get();
    connect(e, &AProgrammer::info, this, &CliSession::onInfo);
    connect(e, &AProgrammer::error, this, &CliSession::showError);
    connect(e, &AProgrammer::operationBegin, this, [this](const QString &title) {
        phaseTotal = engine->progressMaximum() - engine->progressMinimum();
        phaseDone = 0;
        console.beginPhase(title, engine->progressMinimum(), engine->progressMaximum());
    });
    connect(e, &AProgrammer::progress, this, [this](int value) {
        phaseDone = value - engine->progressMinimum();
        console.progress(value);
    });
    connect(e, &AProgrammer::operationFinished, this, &CliSession::onFinished);
    connect(e, &AProgrammer::blocksLeftOut, this,
            [this](const QList<int> &blocks) { leftOut = blocks; });
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
            const auto *programmer = engine->findChild<Programmer *>();
            showError(tr("No programmer found: %1").arg(programmer->errorString()));
            return NoProgrammer;
        }
        if (!waitUntil([] { return false; }, OpenRetryMs))
            return OperationFailed;
    }
    return Success;
}

void CliSession::noteChip()
{
    record.chipId = engine->chipIdBytes();
    if (!record.chipId.isEmpty() && !isChipMissing(record.chipId))
        record.chip = chipName(record.chipId);
    record.badBefore.clear();
    for (const int block : engine->badBlockList()) {
        if (!record.newlyBad.contains(block))
            record.badBefore.append(block);
    }
    std::sort(record.badBefore.begin(), record.badBefore.end());
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
    const QList<int> wanted = options.extent == CliOptions::Listed ? options.blocks : wholeChip();
    const qint64 blockSize = Programmer::blockSize();
    const int covered = int((engine->loadedFileSize() + blockSize - 1) / blockSize);
    if (*std::max_element(wanted.begin(), wanted.end()) < covered)
        return true;
    const QString blocks = covered > 0 ? QStringLiteral("0...%1").arg(covered - 1) : tr("none");
    showError(tr("The file \"%1\" covers the blocks %2 only: the blocks to work on reach past "
                 "its end (--pad counts the rest as 0xFF)")
                  .arg(options.file, blocks));
    return false;
}

std::function<bool()> CliSession::request() const
{
    using Whole = bool (AProgrammer::*)();
    using Listed = bool (AProgrammer::*)(QList<int>);
    Whole whole = nullptr;
    Listed listed = nullptr;
    Whole automatic = nullptr;
    switch (options.command) {
    case CliOptions::Info:
        whole = automatic = &AProgrammer::information;
        break;
    case CliOptions::Read:
        whole = &AProgrammer::read;
        listed = &AProgrammer::read;
        automatic = &AProgrammer::readAuto;
        break;
    case CliOptions::Write:
        whole = &AProgrammer::program;
        listed = &AProgrammer::program;
        automatic = &AProgrammer::programAuto;
        break;
    case CliOptions::AutoWrite:
        whole = &AProgrammer::autoProgram;
        listed = &AProgrammer::autoProgram;
        automatic = &AProgrammer::autoProgramAuto;
        break;
    case CliOptions::Update:
        whole = automatic = &AProgrammer::update;
        break;
    case CliOptions::Verify:
        whole = &AProgrammer::verify;
        listed = &AProgrammer::verify;
        automatic = &AProgrammer::verifyAuto;
        break;
    case CliOptions::Erase:
        whole = automatic = &AProgrammer::erase;
        listed = &AProgrammer::erase;
        break;
    case CliOptions::BlankCheck:
        whole = automatic = &AProgrammer::check;
        listed = &AProgrammer::check;
        break;
    case CliOptions::Hash:
        whole = automatic = &AProgrammer::calcHash;
        listed = &AProgrammer::calcHash;
        break;
    case CliOptions::NoCommand:
    case CliOptions::UpgradeFirmware:
    case CliOptions::List:
        break;
    }
    AProgrammer *e = engine.get();
    if (options.physical) {
        const AProgrammer::OperationKind kind =
            options.command == CliOptions::Read     ? AProgrammer::Read
            : options.command == CliOptions::Verify ? AProgrammer::Verify
                                                    : AProgrammer::CalcHash;
        const QList<int> blocks =
            options.extent == CliOptions::Listed ? options.blocks : QList<int>();
        return [e, kind, blocks] { return e->request(kind, blocks, AProgrammer::PhysicalBlocks); };
    }
    switch (options.extent) {
    case CliOptions::Listed:
        return [e, listed, blocks = options.blocks] { return (e->*listed)(blocks); };
    case CliOptions::WholeChip:
        return [e, whole] { return (e->*whole)(); };
    case CliOptions::Automatic:
        break;
    }
    return [e, automatic] { return (e->*automatic)(); };
}

bool CliSession::runOperation(const std::function<bool()> &request)
{
    finished = false;
    status.clear();
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
    return status == engineText("Complete") || status == engineText("Finished");
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
    QList<int> blocks;
    if (options.extent == CliOptions::Listed)
        blocks = options.blocks;
    else if (options.extent == CliOptions::WholeChip)
        blocks = wholeChip();
    else // An automatic read leaves the chip's directory in the buffer: the image it describes.
        blocks = engine->bufferDirectoryBlocks();
    // What the read left out, for want of good Flash blocks, is not part of the file.
    blocks.removeIf(
        [this](int block) { return block >= Programmer::blockCount() || leftOut.contains(block); });
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
        QJsonArray bad;
        for (const int block : std::as_const(record.badBefore))
            bad.append(block);
        const QJsonObject object{
            {QStringLiteral("serial"), record.serialNumber},
            {QStringLiteral("firmware"), firmware},
            {QStringLiteral("chip"), record.chip},
            {QStringLiteral("chipId"), QString::fromLatin1(record.chipId.toHex())},
            {QStringLiteral("badBlocks"), bad}};
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
}

void CliSession::printHashes()
{
    if (options.json) {
        QJsonObject object;
        for (int i = 0; i < 3; ++i)
            object.insert(QLatin1String(DigestKeys[i]), digests[i].toLower());
        console.result(jsonLine(object));
        return;
    }
    for (int i = 0; i < 3; ++i)
        console.result(plainText(engineText(DigestFormats[i]).arg(digests[i])));
}

void CliSession::onInfo(const QString &text)
{
    const QString marked = formatArgument(engineText("Block %1 marked as bad"), text);
    if (!marked.isNull())
        record.newlyBad.append(marked.toInt());
    if (text.startsWith(eccCorrectionPrefix()))
        ++record.eccCorrections;
    for (int i = 0; i < 3; ++i) {
        const QString digest = formatArgument(engineText(DigestFormats[i]), text);
        if (digest.isNull())
            continue;
        digests[i] = digest;
        // The digests of a hash operation are its result, for stdout; those of a loaded file
        // are log lines like any other.
        if (options.command == CliOptions::Hash)
            return;
    }
    console.info(text);
}

void CliSession::showError(const QString &text)
{
    record.error = plainText(text);
    console.error(text);
}

void CliSession::noteDigests()
{
    record.crc32 = digests[0].toLower();
    record.md5 = digests[1].toLower();
    record.sha1 = digests[2].toLower();
}

void CliSession::onFinished(const QString &text)
{
    if (counting) {
        record.blocks = phaseTotal;
        record.bytes += qint64(phaseDone) * Programmer::blockSize();
    }
    console.endPhase(text);
    status = text;
    finished = true;
    if (loop)
        loop->quit();
}
