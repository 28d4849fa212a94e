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
#include <iterator>

using namespace Npx4Protocol;

namespace {

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

// The operations, numbered as the input selects them; the last one is the opening.
using Operation = void (*)(Programmer &);
const Operation Operations[] = {
    [](Programmer &p) {
        ProgrammerInfo info;
        p.getInfo(&info);
    },
    [](Programmer &p) {
        QByteArray id;
        p.readId(id);
    },
    [](Programmer &p) {
        QList<int> blocks;
        p.readBadBlockList(blocks);
    },
    [](Programmer &p) { p.fastErase(unsigned(-1), true); },
    [](Programmer &p) { p.upgradeFirmware(); },
    [](Programmer &p) { p.open(0); },
};
constexpr int OperationCount = int(std::size(Operations));
constexpr int OpOpen = OperationCount - 1;

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
    Operations[operation](programmer);
    harness.end.setStream(QByteArray());
    return 0;
}
