#include "sim/simfirmware.h"

#include "protocol/commands.h"
#include "sim/nandchip.h"
#include "sim/simframe.h"

#include <QMutexLocker>
#include <cstring>
#include <optional>
#include <vector>

using namespace Npx4Protocol;

namespace {

// Byte 0 of a success answer: the host only requires it to differ from the error marker.
constexpr quint8 SuccessAnswerMarker = 0x5A;
// The level reading of a powered chip: 3.3 V on the reading's 0..3.6 V scale.
constexpr quint8 PoweredLevel = 234;
// The firmware the boot loader installs, and how long the device stays off the bus while it
// restarts into it.
constexpr int InstalledMajor = 1;
constexpr int InstalledMinor = 5;
constexpr int RestartAfterUploadMs = 2000;
// Time for the acknowledgement of an upload to reach the host before the device restarts.
constexpr int AckDrainMs = 50;
// The firmware versions that brought the later commands and settings.
constexpr quint16 Version1_1 = 0x0101;
constexpr quint16 Version1_4 = 0x0104;
// The most entries the one-byte count of the bad-block list can announce.
constexpr int MaxBadListEntries = 255;

constexpr int MaxPageBytes = NandChip::PageSize + EccSpareSize;

// A block number or count in P2 (low byte) and P3 (high byte).
int frameWord(const quint8 *frame)
{
    return frame[2] | (frame[3] << 8);
}

// Answers that a data phase follows; only these can have their data phase truncated.
bool answerHasData(quint8 command)
{
    return command == CmdReadBlock || command == CmdReadId || command == CmdBlockCheck;
}

} // namespace

struct SimFirmware::State
{
    // What the firmware makes of the next bytes the host sends.
    enum class Phase
    {
        Command,   // hunting for a frame marker and collecting a command frame
        BlockData, // taking the pages of a program-block command
        BootProbe, // boot loader: waiting for the probe byte
        BootImage  // boot loader: taking the firmware image
    };

    // The answer to one command, before any fault is applied.
    struct Reply
    {
        bool error = false;
        quint32 status = 0;
        quint8 payload[4] = {}; // A1..A4
        int dataSize = 0;       // bytes of the data phase, stored after the frame in `out`
        // When the chip is done and the answer can go out; the past: at once.
        SimHostLink::Clock::time_point readyAt;

        static Reply success() { return Reply(); }
        static Reply failure(quint32 status)
        {
            Reply reply;
            reply.error = true;
            reply.status = status;
            return reply;
        }
    };

    // Sends to the host without holding the firmware's lock, so that the link may take its own
    // locks in any order and tests may inject faults while a transfer runs.
    struct Output
    {
        SimHostLink &link;
        QMutexLocker<QMutex> &lock;

        void send(const char *data, qint64 size)
        {
            lock.unlock();
            link.send(data, size);
            lock.relock();
        }
        void sendAt(SimHostLink::Clock::time_point at, const char *data, qint64 size)
        {
            lock.unlock();
            link.sendAt(at, data, size);
            lock.relock();
        }
        void sendAfter(int delayMs, const QByteArray &bytes)
        {
            lock.unlock();
            link.sendAfter(delayMs, bytes);
            lock.relock();
        }
        void holdInput(SimHostLink::Clock::time_point until)
        {
            lock.unlock();
            link.holdInput(until);
            lock.relock();
        }
        // Drops off the bus to restart after an upload. The acknowledgement sent just before
        // must reach the host first, and leaving the bus loses every byte still on its way, so
        // the device leaves a moment later.
        void restart(int offBusMs)
        {
            const int drainMs = qMin(AckDrainMs, offBusMs);
            lock.unlock();
            link.leaveBusAfter(drainMs, offBusMs - drainMs);
            lock.relock();
        }
        // Drops off the bus for good, as if pulled out.
        void unplug()
        {
            lock.unlock();
            link.leaveBus(-1);
            lock.relock();
        }
    };

    struct QueuedFault
    {
        AnswerFault fault;
        int remaining;
    };

    // A program-block command whose pages are still arriving.
    struct Programming
    {
        int block = 0;
        int page = 0;
        int fill = 0; // bytes of the current page collected in `pageBuffer`
        int spareSize = 0;
        bool store = false;
        Reply reply;
        std::optional<AnswerFault> fault;
    };

    using Clock = SimHostLink::Clock;
    using Duration = std::chrono::microseconds;

    explicit State(NandChip *nand) : chip(nand) {}

    NandChip *chip;
    Duration pageRead{0};
    Duration pageProgram{0};
    Duration blockErase{0};
    // When the chip finishes what it was given, and the moment the command being carried out
    // reached the device.
    Clock::time_point chipFreeAt;
    Clock::time_point commandAt;
    int major = InstalledMajor;
    int minor = InstalledMinor;
    bool bootLoader = false;
    bool restartIntoNewFirmware = false;
    int restartDelayMs = RestartAfterUploadMs;

    int mode = ModeOff;
    quint8 periodValue = 0;
    quint8 periodDivisor = 0;
    quint8 parameter = 0;
    int eccSpareSize = 0;
    bool powered = false;
    int commands = 0;
    // The command frame whose arrival pulls the device off the bus; 0: none.
    int unplugAtCommand = 0;

    QList<QueuedFault> faults;
    BootFault bootFault = BootFault::None;

    Phase phase = Phase::Command;
    quint8 frame[FrameSize] = {};
    int frameFill = 0;
    Programming programming;
    char pageBuffer[MaxPageBytes] = {};
    QByteArray image;
    QByteArray uploaded;
    // Answer frame followed by its data phase; reused so that block reads allocate nothing.
    std::vector<char> out = std::vector<char>(FrameSize);

    quint16 version() const { return quint16(major << 8 | minor); }
    bool hasVersion(quint16 minimum) const { return version() >= minimum; }
    bool chipInserted() const { return chip->id() != QByteArray(5, char(0xFF)); }

    void restart()
    {
        mode = ModeOff;
        periodValue = periodDivisor = parameter = 0;
        eccSpareSize = 0;
        powered = false;
        resync();
    }

    void resync()
    {
        phase = bootLoader ? Phase::BootProbe : Phase::Command;
        frameFill = 0;
        image.clear();
    }

    void feed(const char *data, qint64 size, Output &output)
    {
        const char *end = data + size;
        while (data < end) {
            switch (phase) {
            case Phase::Command:
                data = takeCommandBytes(data, end, output);
                break;
            case Phase::BlockData:
                data = takeBlockData(data, end, output);
                break;
            case Phase::BootProbe:
                data = takeProbe(data, end, output);
                break;
            case Phase::BootImage:
                data = takeImage(data, end, output);
                break;
            }
        }
    }

    // Collects a frame that starts with the command marker; anything before a marker is
    // ignored. A frame with a bad CRC gets no answer, and the search for the next marker goes
    // on within its remaining bytes, so a stray marker byte cannot swallow a real frame.
    const char *takeCommandBytes(const char *data, const char *end, Output &output)
    {
        if (frameFill == 0) {
            data = static_cast<const char *>(std::memchr(data, CommandMarker, size_t(end - data)));
            if (!data)
                return end;
        }
        const int n = int(qMin<qint64>(FrameSize - frameFill, end - data));
        std::memcpy(frame + frameFill, data, size_t(n));
        frameFill += n;
        if (frameFill < FrameSize)
            return end;
        frameFill = 0;
        if (SimFrame::isSealed(frame)) {
            if (++commands == unplugAtCommand) {
                output.unplug();
                return end;
            }
            commandAt = output.link.now();
            execute(output);
            return data + n;
        }
        const void *next = std::memchr(frame + 1, CommandMarker, FrameSize - 1);
        if (next) {
            const int offset = int(static_cast<const quint8 *>(next) - frame);
            frameFill = FrameSize - offset;
            std::memmove(frame, frame + offset, size_t(frameFill));
        }
        return data + n;
    }

    std::optional<AnswerFault> takeFault(quint8 command)
    {
        for (int i = 0; i < faults.size(); ++i) {
            QueuedFault &queued = faults[i];
            if (queued.fault.command != 0 && queued.fault.command != command)
                continue;
            if (queued.fault.kind == AnswerFault::TruncateData && !answerHasData(command))
                continue;
            const AnswerFault fault = queued.fault;
            if (--queued.remaining <= 0)
                faults.removeAt(i);
            return fault;
        }
        return std::nullopt;
    }

    void execute(Output &output)
    {
        const quint8 command = frame[1];
        if (command == CmdFwUpgrade && std::memcmp(frame + 2, FwEntryCode, 3) == 0) {
            bootLoader = true;
            resync();
            return;
        }
        const std::optional<AnswerFault> fault = takeFault(command);
        const bool replaced = fault && fault->kind == AnswerFault::ErrorStatus;
        const Reply forced = Reply::failure(fault ? quint32(fault->value) : 0);
        if (command == CmdProgramBlock) {
            startProgramming(replaced ? std::optional<Reply>(forced) : std::nullopt, fault);
            return;
        }
        sendReply(replaced ? forced : carryOut(), fault, output);
    }

    Reply carryOut()
    {
        switch (frame[1]) {
        case CmdGetInfo: {
            Reply reply = Reply::success();
            reply.payload[1] = powered ? PoweredLevel : 0;
            reply.payload[2] = quint8(major);
            reply.payload[3] = quint8(minor);
            return reply;
        }
        case CmdPowerOn:
        case CmdPowerOff:
            powered = frame[1] == CmdPowerOn;
            return Reply::success();
        case CmdConfigure:
            return configure();
        case CmdBlockCheck:
            return blockCheck();
        case CmdErase:
            return erase();
        case CmdReadBlock:
            return readBlock();
        case CmdMarkBad:
            return markBad();
        case CmdReadId:
            return readId();
        default:
            return Reply::failure(StatusInvalidOperation);
        }
    }

    Reply configure()
    {
        const quint8 p3 = frame[3];
        const quint8 p4 = frame[4];
        switch (frame[2]) {
        case CfgMode:
            if (p4 > ModeBusy)
                return Reply::failure(StatusInvalidOperation);
            mode = p4;
            return Reply::success();
        case CfgPeriod:
            if (!hasVersion(Version1_1))
                return Reply::failure(StatusInvalidOperation);
            periodValue = p3;
            periodDivisor = p4;
            return Reply::success();
        case CfgParameter:
            if (!hasVersion(Version1_1))
                return Reply::failure(StatusInvalidOperation);
            parameter = p4;
            return Reply::success();
        case CfgEcc:
            if (!hasVersion(Version1_4) || (p3 != EccSpareSize && p3 != 0))
                return Reply::failure(StatusInvalidOperation);
            eccSpareSize = p3;
            return Reply::success();
        default:
            return Reply::failure(StatusInvalidOperation);
        }
    }

    // Why a command on `block` cannot run, or 0 when it can.
    quint32 blockStatus(int block) const
    {
        if (block >= NandChip::BlockCount)
            return StatusInvalidOperation;
        return chipReady() ? 0u : quint32(StatusBusyNotActivated);
    }

    // Gives the chip `work` to do once it is free; returns when it starts.
    Clock::time_point chipWork(Clock::duration work)
    {
        const Clock::time_point start = std::max(commandAt, chipFreeAt);
        chipFreeAt = start + work;
        return start;
    }

    Reply whenChipDone(Reply reply)
    {
        reply.readyAt = chipFreeAt;
        return reply;
    }

    // An unpowered or missing chip never raises its busy signal.
    bool chipReady() const { return powered && chipInserted(); }

    char *dataArea(int size)
    {
        out.resize(size_t(FrameSize + size));
        return out.data() + FrameSize;
    }

    Reply blockCheck()
    {
        const int block = frameWord(frame);
        if (frame[4] == BlockListFlag && block == BlockListMarker)
            return badBlockList();
        if (frame[4] != 0)
            return Reply::failure(StatusInvalidOperation);
        if (const quint32 status = blockStatus(block))
            return Reply::failure(status);
        // The marks are the first spare bytes of pages 0 and 1.
        chipWork(2 * pageRead);
        Reply reply = Reply::success();
        chip->marks(block, &reply.payload[2], &reply.payload[3]);
        return whenChipDone(reply);
    }

    // The list form answers with the count and sends two bytes per bad block. A chip with more
    // bad blocks than the count can announce gets an error rather than a list that silently
    // leaves some of them out.
    Reply badBlockList()
    {
        if (!hasVersion(Version1_1))
            return Reply::failure(StatusInvalidOperation);
        if (!chipReady())
            return Reply::failure(StatusBusyNotActivated);
        // The list is read from the marks of every block.
        chipWork(2 * NandChip::BlockCount * pageRead);
        const QList<int> bad = chip->badBlocks();
        if (bad.size() > MaxBadListEntries)
            return whenChipDone(Reply::failure(StatusOperationError));
        Reply reply = Reply::success();
        reply.payload[3] = quint8(bad.size());
        reply.dataSize = int(bad.size()) * 2;
        char *entry = dataArea(reply.dataSize);
        for (const int block : bad) {
            *entry++ = char(block & 0xFF);
            *entry++ = char(block >> 8);
        }
        return whenChipDone(reply);
    }

    Reply erase()
    {
        const quint8 form = frame[4] & quint8(~EraseInPlaceFlag);
        if (form == EraseSeveralBlocks)
            return eraseSeveral(frameWord(frame) + 1);
        if (form != 0)
            return Reply::failure(StatusInvalidOperation);
        const int block = frameWord(frame);
        if (const quint32 status = blockStatus(block))
            return Reply::failure(status);
        chipWork(blockErase);
        return whenChipDone(chip->erase(block) ? Reply::success()
                                               : Reply::failure(StatusOperationError));
    }

    // Erases blocks 0..count-1, leaving bad blocks alone; a failed erase is reported once all
    // the other blocks are done.
    Reply eraseSeveral(int count)
    {
        if (!hasVersion(Version1_1) || count > NandChip::BlockCount)
            return Reply::failure(StatusInvalidOperation);
        if (!chipReady())
            return Reply::failure(StatusBusyNotActivated);
        bool failed = false;
        for (int block = 0; block < count; ++block) {
            if (chip->isBad(block))
                continue;
            chipWork(blockErase);
            if (!chip->erase(block))
                failed = true;
        }
        return whenChipDone(failed ? Reply::failure(StatusOperationError) : Reply::success());
    }

    Reply readBlock()
    {
        const int block = frameWord(frame);
        if (const quint32 status = blockStatus(block))
            return Reply::failure(status);
        const int spareSize = eccSpareSize;
        // The first page goes out once it is read; the chip reads the next ones meanwhile.
        const Clock::time_point start = chipWork(NandChip::PagesPerBlock * pageRead);
        Reply reply = Reply::success();
        reply.readyAt = start + pageRead;
        reply.dataSize = NandChip::PagesPerBlock * (NandChip::PageSize + spareSize);
        char *page = dataArea(reply.dataSize);
        char spare[NandChip::SpareSize];
        for (int p = 0; p < NandChip::PagesPerBlock; ++p) {
            chip->readPage(block, p, page, spareSize ? spare : nullptr);
            std::memcpy(page + NandChip::PageSize, spare, size_t(spareSize));
            page += NandChip::PageSize + spareSize;
        }
        return reply;
    }

    Reply markBad()
    {
        const int block = frameWord(frame);
        if (const quint32 status = blockStatus(block))
            return Reply::failure(status);
        chipWork(2 * pageProgram);
        chip->markBad(block);
        return whenChipDone(Reply::success());
    }

    Reply readId()
    {
        if (!hasVersion(Version1_1))
            return Reply::failure(StatusInvalidOperation);
        if (!powered)
            return Reply::failure(StatusBusyNotActivated);
        const QByteArray id = chip->id();
        Reply reply = Reply::success();
        reply.payload[1] = quint8(id.size());
        reply.dataSize = int(id.size());
        std::memcpy(dataArea(reply.dataSize), id.constData(), size_t(id.size()));
        return reply;
    }

    // The pages of a program-block command follow its frame; they are always taken in full,
    // also when the command fails, so that block data is never mistaken for commands. The
    // answer goes out after the last page.
    void startProgramming(const std::optional<Reply> &forced,
                          const std::optional<AnswerFault> &fault)
    {
        const int block = frameWord(frame);
        const quint32 status = blockStatus(block);
        programming = Programming();
        programming.block = block;
        programming.spareSize = eccSpareSize;
        programming.reply = forced ? *forced : status ? Reply::failure(status) : Reply::success();
        programming.store = !programming.reply.error;
        programming.fault = fault;
        phase = Phase::BlockData;
    }

    const char *takeBlockData(const char *data, const char *end, Output &output)
    {
        Programming &pg = programming;
        const int pageBytes = NandChip::PageSize + pg.spareSize;
        while (data < end && pg.page < NandChip::PagesPerBlock) {
            if (pg.fill == 0 && end - data >= pageBytes) {
                storePage(data, output);
                data += pageBytes;
                continue;
            }
            const int n = int(qMin<qint64>(pageBytes - pg.fill, end - data));
            std::memcpy(pageBuffer + pg.fill, data, size_t(n));
            pg.fill += n;
            data += n;
            if (pg.fill == pageBytes) {
                storePage(pageBuffer, output);
                pg.fill = 0;
            }
        }
        if (pg.page == NandChip::PagesPerBlock) {
            phase = Phase::Command;
            sendReply(whenChipDone(pg.reply), pg.fault, output);
        }
        return data;
    }

    // The page register takes the page once the chip has started on the page before: until
    // then the host's next bytes wait in the bridge.
    void storePage(const char *page, Output &output)
    {
        Programming &pg = programming;
        if (pg.store) {
            commandAt = output.link.now();
            output.holdInput(chipWork(pageProgram));
            if (!chip->programPage(pg.block, pg.page, page,
                                   pg.spareSize ? page + NandChip::PageSize : nullptr,
                                   pg.spareSize))
                pg.reply = Reply::failure(StatusOperationError);
        }
        ++pg.page;
    }

    void sendReply(const Reply &reply, const std::optional<AnswerFault> &fault, Output &output)
    {
        quint8 *frameOut = reinterpret_cast<quint8 *>(out.data());
        frameOut[0] = reply.error ? ErrorAnswerMarker : SuccessAnswerMarker;
        for (int i = 0; i < 4; ++i)
            frameOut[1 + i] = reply.error ? quint8(reply.status >> (8 * i)) : reply.payload[i];
        SimFrame::seal(frameOut);
        const qint64 size = FrameSize + (reply.error ? 0 : reply.dataSize);
        const Clock::time_point at = std::max(reply.readyAt, output.link.now());
        if (!fault) {
            output.sendAt(at, out.data(), size);
            return;
        }
        const int value = qMax(0, fault->value);
        switch (fault->kind) {
        case AnswerFault::NoAnswer:
            return;
        case AnswerFault::Delay:
            output.sendAfter(
                value + int(std::chrono::ceil<std::chrono::milliseconds>(at - output.link.now())
                                .count()),
                QByteArray(out.data(), size));
            return;
        case AnswerFault::Truncate:
            output.sendAt(at, out.data(), qMin(value, FrameSize));
            return;
        case AnswerFault::SlowBytes:
            for (qint64 i = 0; i < size; ++i)
                output.sendAfter(int((i + 1) * value), QByteArray(1, out[size_t(i)]));
            return;
        case AnswerFault::CorruptCrc:
            frameOut[5] ^= 0xFF;
            output.sendAt(at, out.data(), size);
            return;
        case AnswerFault::ErrorStatus:
            output.sendAt(at, out.data(), size);
            return;
        case AnswerFault::TruncateData:
            output.sendAt(at, out.data(), qMin<qint64>(size, FrameSize + value));
            return;
        }
    }

    // The boot loader answers only its probe byte; everything else is ignored.
    const char *takeProbe(const char *data, const char *end, Output &output)
    {
        const char *probe =
            static_cast<const char *>(std::memchr(data, FwProbe, size_t(end - data)));
        if (!probe)
            return end;
        const quint8 last =
            bootFault == BootFault::WrongReadyCode ? quint8(~FwReadyLastByte) : FwReadyLastByte;
        const QByteArray ready =
            SimFrame::make(quint8(FwReadyWord), quint8(FwReadyWord >> 8), quint8(FwReadyWord >> 16),
                           quint8(FwReadyWord >> 24), last);
        image.clear();
        image.reserve(FwImageSize);
        phase = Phase::BootImage;
        output.send(ready.constData(), ready.size());
        return probe + 1;
    }

    // Takes exactly one image. After a good one the device acknowledges, drops off the bus and
    // comes back running the new firmware; after a failed one it stays in the boot loader.
    const char *takeImage(const char *data, const char *end, Output &output)
    {
        const int n = int(qMin<qint64>(FwImageSize - image.size(), end - data));
        image.append(data, n);
        if (image.size() < FwImageSize)
            return data + n;
        uploaded = image;
        image.clear();
        phase = Phase::BootProbe;
        switch (bootFault) {
        case BootFault::None:
        case BootFault::WrongReadyCode: {
            const char ack = char(FwAckOk);
            restartIntoNewFirmware = true;
            output.send(&ack, 1);
            output.restart(restartDelayMs);
            break;
        }
        case BootFault::NoAck:
            break;
        case BootFault::WrongAck: {
            const char nak = 0;
            output.send(&nak, 1);
            break;
        }
        }
        return data + n;
    }
};

SimFirmware::SimFirmware(NandChip *chip) : d(std::make_unique<State>(chip)) {}

SimFirmware::~SimFirmware() = default;

void SimFirmware::setVersion(int major, int minor)
{
    QMutexLocker lock(&mutex);
    d->major = major;
    d->minor = minor;
}

quint16 SimFirmware::version() const
{
    QMutexLocker lock(&mutex);
    return d->version();
}

void SimFirmware::setInBootLoader(bool waiting)
{
    QMutexLocker lock(&mutex);
    d->bootLoader = waiting;
    d->resync();
}

void SimFirmware::setChipTiming(std::chrono::microseconds pageRead,
                                std::chrono::microseconds pageProgram,
                                std::chrono::microseconds blockErase)
{
    QMutexLocker lock(&mutex);
    d->pageRead = pageRead;
    d->pageProgram = pageProgram;
    d->blockErase = blockErase;
}

void SimFirmware::setRestartDelay(int msecs)
{
    QMutexLocker lock(&mutex);
    d->restartDelayMs = qMax(0, msecs);
}

bool SimFirmware::inBootLoader() const
{
    QMutexLocker lock(&mutex);
    return d->bootLoader;
}

void SimFirmware::injectAnswerFault(const AnswerFault &fault, int count)
{
    if (count <= 0)
        return;
    QMutexLocker lock(&mutex);
    d->faults.append({fault, count});
}

void SimFirmware::setBootFault(BootFault fault)
{
    QMutexLocker lock(&mutex);
    d->bootFault = fault;
}

void SimFirmware::clearFaults()
{
    QMutexLocker lock(&mutex);
    d->faults.clear();
    d->bootFault = BootFault::None;
}

int SimFirmware::mode() const
{
    QMutexLocker lock(&mutex);
    return d->mode;
}

quint8 SimFirmware::periodValue() const
{
    QMutexLocker lock(&mutex);
    return d->periodValue;
}

quint8 SimFirmware::periodDivisor() const
{
    QMutexLocker lock(&mutex);
    return d->periodDivisor;
}

quint8 SimFirmware::parameter() const
{
    QMutexLocker lock(&mutex);
    return d->parameter;
}

int SimFirmware::eccSpareSize() const
{
    QMutexLocker lock(&mutex);
    return d->eccSpareSize;
}

bool SimFirmware::powered() const
{
    QMutexLocker lock(&mutex);
    return d->powered;
}

QByteArray SimFirmware::uploadedImage() const
{
    QMutexLocker lock(&mutex);
    return d->uploaded;
}

void SimFirmware::setUnplugAtCommand(int command)
{
    QMutexLocker lock(&mutex);
    d->unplugAtCommand = command;
}

int SimFirmware::commandCount() const
{
    QMutexLocker lock(&mutex);
    return d->commands;
}

void SimFirmware::received(const char *data, qint64 size, SimHostLink &link)
{
    QMutexLocker lock(&mutex);
    State::Output output{link, lock};
    d->feed(data, size, output);
}

void SimFirmware::resync()
{
    QMutexLocker lock(&mutex);
    d->resync();
}

void SimFirmware::attached()
{
    QMutexLocker lock(&mutex);
    if (d->restartIntoNewFirmware) {
        d->restartIntoNewFirmware = false;
        d->bootLoader = false;
        d->major = InstalledMajor;
        d->minor = InstalledMinor;
    }
    d->restart();
}
