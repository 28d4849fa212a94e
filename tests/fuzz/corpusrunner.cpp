// Runs the answer fuzz target over a fixed corpus, so that every build checks the inputs that
// matter without a fuzzing engine: hand-picked streams for each operation plus seeded random
// ones.

#include <QByteArray>
#include <QList>
#include <QRandomGenerator>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

// Operations as the target numbers them, and its flag that seals the first answer frame.
constexpr int Operations = 6;
constexpr int OpenOperation = 5;
constexpr char Seal = 0x08;

// An input whose stream is `hex`, left as it is.
QByteArray raw(int operation, const char *hex)
{
    return char(operation) + QByteArray::fromHex(hex);
}

// An input whose stream starts with the answer frame of the five bytes `frame`, which the
// target seals with a valid CRC, followed by `rest`.
QByteArray sealed(int operation, const char *frame, const QByteArray &rest = QByteArray())
{
    return char(operation | Seal) + QByteArray::fromHex(frame) + QByteArray(2, '\0') + rest;
}

QList<QByteArray> corpus()
{
    QList<QByteArray> inputs;
    for (int operation = 0; operation < Operations; ++operation) {
        inputs << raw(operation, "")                      // zeros: a success answer
               << raw(operation, "aa1100000000ff")        // damaged error answer
               << raw(operation, "a5a5a5")                // a broken frame
               << sealed(operation, "aa11000000")         // error answer
               << sealed(operation, "aa30000000")         // error answer, another status
               << sealed(operation, "0000ffffff")         // every count at its maximum
               << sealed(operation, "00000002ff", "0102") // short payloads
               << sealed(operation, "0000000200", QByteArray(600, '\xff'))
               << sealed(operation, "42534e5034")          // the boot loader's ready code
               << sealed(operation, "42534e5034", "\x01")  // ... and its acknowledgement
               << sealed(operation, "42534e5035", "\x01"); // a near miss
    }
    // The information query at opening: versions around the supported range.
    for (const char *version : {"0000000007", "0000000104", "0000000200", "000000ff00"})
        inputs << sealed(OpenOperation, version);
    QRandomGenerator random(0x4e505834);
    for (int k = 0; k < 2000; ++k) {
        QByteArray bytes(random.bounded(1, 80), '\0');
        for (char &byte : bytes)
            byte = char(random.bounded(256));
        inputs << bytes;
    }
    return inputs;
}

} // namespace

int main()
{
    const QList<QByteArray> inputs = corpus();
    for (const QByteArray &bytes : inputs)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()),
                               size_t(bytes.size()));
    std::printf("%lld inputs ran\n", static_cast<long long>(inputs.size()));
    return 0;
}
