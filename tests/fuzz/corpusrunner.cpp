// Runs the answer fuzz target over a fixed corpus, so that every build checks the inputs that
// matter without a fuzzing engine: hand-picked streams for each operation plus seeded random ones.

#include <QByteArray>
#include <QList>
#include <QRandomGenerator>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main()
{
    // Streams (hex) whose first answer frame the target seals in place of its last two bytes: all
    // zeros, errors, counts at their maximum, a short payload, the boot loader's ready code with
    // and without acknowledgement, a near miss, and versions around the supported range.
    const QList<QByteArray> streams = QByteArray(" aa110000000000 aa300000000000 0000ffffff0000"
                                                 " 00000002ff00000102 42534e50340000"
                                                 " 42534e5034000001 42534e5035000001"
                                                 " 00000000070000 00000001040000 00000002000000")
                                          .split(' ');
    QList<QByteArray> inputs;
    for (char operation = 0; operation < 6; ++operation) {
        for (const QByteArray &stream : streams)
            inputs << char(operation | 0x08) + QByteArray::fromHex(stream);
    }
    QRandomGenerator random(0x4e505834);
    for (int k = 0; k < 2000; ++k) {
        QByteArray bytes(random.bounded(1, 80), '\0');
        for (char &byte : bytes)
            byte = char(random.bounded(256));
        inputs << bytes;
    }
    for (const QByteArray &bytes : inputs)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()),
                               size_t(bytes.size()));
    std::printf("%lld inputs ran\n", static_cast<long long>(inputs.size()));
    return 0;
}
