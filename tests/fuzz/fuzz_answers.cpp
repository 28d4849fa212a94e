// Fuzz target: arbitrary bytes from the device side reach the host's answer checking, answer
// decoding and data phases (information query, chip ID, bad-block list, long erase, boot
// loader probe and upload, and the opening that runs several of them). Whatever the bytes, the
// host must neither crash, nor hang, nor touch memory outside its buffers.
//
// Input layout: byte 0 selects the operation (low three bits) and whether the harness gives
// the first seven stream bytes a valid CRC (bit 3), so that the fuzzer gets past the answer
// check into the data phases; the rest is what the device sends after each command frame.

#include "protocol/commands.h"
#include "protocol/programmer.h"
#include "sim/simdriver.h"
#include "sim/simframe.h"

#include <QCoreApplication>
#include <QMutex>
#include <cstdint>
#include <cstdlib>

using namespace Npx4Protocol;

namespace {

enum Operation
{
    OpGetInfo,
    OpReadId,
    OpBadBlockList,
    OpFastErase,
    OpUpgrade,
    OpOpen,
    OperationCount
};
constexpr quint8 SealFirstFrame = 0x08;
// Longer than any data phase (255 list entries of two bytes): the zeros that follow the input
// complete whatever it leaves open, and seven zeros form a frame with a valid CRC, so the host
// never waits for a time-out.
constexpr int Padding = 1024;

// It answers every command frame with the stream, or, while the stream is empty, as a plain
// firmware 1.5 does. Other writes (the boot loader probe, image pieces) get a damaged frame, so
// that an opening skips the upload at once and passes the stream to the information query.
class FuzzDeviceEnd : public SimDeviceEnd
{
public:
    void setStream(const QByteArray &bytes)
    {
        QMutexLocker locker(&mutex);
        stream = bytes;
    }

    void received(const char *data, qint64 size, SimHostLink &link) override
    {
        QMutexLocker locker(&mutex);
        if (size != FrameSize || quint8(data[0]) != CommandMarker)
            link.send(QByteArray::fromHex("00000000000001"));
        else if (!stream.isEmpty())
            link.send(stream);
        else if (quint8(data[1]) == CmdGetInfo)
            link.send(SimFrame::make(0x00, 0x00, 0x80, 0x01, 0x05));
        else
            link.send(SimFrame::make(0x00, 0x00, 0x00, 0x00, 0x00));
    }

private:
    QMutex mutex;
    QByteArray stream;
};

struct Harness
{
    Harness()
    {
        driver.addProgrammer(&end);
        FtdiDriver::setInstance(&driver);
    }
    ~Harness() { FtdiDriver::setInstance(nullptr); }

    int argc = 1;
    char name[13] = "fuzz_answers";
    char *argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
    FuzzDeviceEnd end;
    SimDriver driver;
};

void run(Programmer &programmer, int operation)
{
    switch (operation) {
    case OpGetInfo: {
        ProgrammerInfo info;
        programmer.getInfo(&info);
        break;
    }
    case OpReadId: {
        QByteArray id;
        programmer.readId(id);
        break;
    }
    case OpBadBlockList: {
        QList<int> blocks;
        programmer.readBadBlockList(blocks);
        break;
    }
    case OpFastErase:
        programmer.fastErase(unsigned(-1), true);
        break;
    case OpUpgrade:
        programmer.upgradeFirmware();
        break;
    default:
        programmer.open(0);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Harness harness;
    if (size == 0)
        return 0;
    const int operation = (data[0] & 0x07) % OperationCount;
    QByteArray stream(reinterpret_cast<const char *>(data + 1), int(size - 1));
    if ((data[0] & SealFirstFrame) && stream.size() >= FrameSize)
        SimFrame::seal(reinterpret_cast<quint8 *>(stream.data()));
    stream.append(QByteArray(Padding, '\0'));

    harness.end.setStream(QByteArray());
    Programmer programmer;
    // The opening itself is under test in one operation; the others start from a connection.
    if (operation != OpOpen && !programmer.open(0))
        std::abort();
    harness.end.setStream(stream);
    run(programmer, operation);
    harness.end.setStream(QByteArray());
    return 0;
}
