// Fuzz target: arbitrary bytes from the device side reach the host's answer checking, decoding
// and data phases; whatever they are, the host must neither crash, nor hang, nor touch memory
// outside its buffers. Byte 0 selects the operation (low three bits) and whether the first seven
// stream bytes get a valid CRC (bit 3); the rest is what the device sends after each command.

#include "protocol/commands.h"
#include "protocol/programmer.h"
#include "sim/simdriver.h"
#include "sim/simframe.h"

#include <QCoreApplication>
#include <cstdint>
#include <cstdlib>
#include <iterator>

using namespace Npx4Protocol;

namespace {

// Longer than any data phase (255 list entries of two bytes): the zeros after the input complete
// whatever it leaves open, and seven zeros form a valid frame, so the host never waits long.
constexpr int Padding = 1024;

// The device side, run on the fuzzing thread as the host writes: it answers every command frame
// with the stream or, while that is empty, with firmware 1.5's information answer (success to the
// other commands of an opening), and anything else (the boot loader probe) with a damaged frame.
struct Harness : SimDeviceEnd
{
    Harness()
    {
        driver.addProgrammer(this);
        FtdiDriver::install(&driver);
    }
    ~Harness() override { FtdiDriver::install(nullptr); }

    void received(const char *data, qint64 size, SimHostLink &link) override
    {
        if (size != FrameSize || quint8(data[0]) != CommandMarker)
            link.send(QByteArray::fromHex("00000000000001"));
        else
            link.send(stream.isEmpty() ? SimFrame::make(0x00, 0x00, 0x80, 0x01, 0x05) : stream);
    }

    int argc = 1;
    char name[13] = "fuzz_answers";
    char *argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
    SimDriver driver;
    QByteArray stream;
};

ProgrammerInfo info;
QByteArray id;
QList<int> blocks;

// The operations, numbered as the input selects them; the last one is the opening.
using Operation = void (*)(Programmer &);
const Operation operations[] = {
    [](Programmer &p) { p.getInfo(&info); },
    [](Programmer &p) { p.readId(id); },
    [](Programmer &p) { p.readBadBlockList(blocks); },
    [](Programmer &p) { p.fastErase(unsigned(-1), true); },
    [](Programmer &p) { p.upgradeFirmware(); },
    [](Programmer &p) { p.open(0); },
};
constexpr int OperationCount = int(std::size(operations));

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Harness harness;
    if (size == 0)
        return 0;
    const int operation = (data[0] & 0x07) % OperationCount;
    QByteArray stream(reinterpret_cast<const char *>(data + 1), int(size - 1));
    if ((data[0] & 0x08) && stream.size() >= FrameSize)
        SimFrame::seal(reinterpret_cast<quint8 *>(stream.data()));
    stream.append(QByteArray(Padding, '\0'));

    harness.stream.clear();
    Programmer programmer;
    // The opening itself is under test in one operation; the others start from a connection.
    if (operation != OperationCount - 1 && !programmer.open(0))
        std::abort();
    harness.stream = stream;
    operations[operation](programmer);
    return 0;
}
