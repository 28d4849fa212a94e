// A whole 128 MiB image through the engine against the simulated programmer at unlimited link
// rate: auto-write (fast erase, then program and verify block by block), read back, verify.
// Each figure is MB of image data per second of the operation, from the request to its end.
#include "engine/aprogrammer.h"
#include "protocol/geometry.h"
#include "usb/programmerbackend.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRandomGenerator>

#include <cstdio>
#include <functional>

namespace {

using Geometry::ImageSize;

// Runs one request to its end; the rate in MB/s, or a negative value when it did not complete.
double run(AProgrammer &engine, const std::function<bool()> &request)
{
    QEventLoop loop;
    QString status;
    const auto finished =
        QObject::connect(&engine, &AProgrammer::operationFinished, &loop, [&](const QString &text) {
            status = text;
            loop.quit();
        });
    QElapsedTimer timer;
    timer.start();
    if (request())
        loop.exec();
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    QObject::disconnect(finished);
    if (status != QLatin1String("Complete")) {
        std::fprintf(stderr, "operation ended with \"%s\"\n", qPrintable(status));
        return -1;
    }
    return double(ImageSize) / (1024.0 * 1024.0) / seconds;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString backendError = ProgrammerBackend(QStringLiteral("sim")).install();
    if (!backendError.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(backendError));
        return 1;
    }
    AProgrammer engine;
    QObject::connect(&engine, &AProgrammer::error, [](const QString &text) {
        std::fprintf(stderr, "error: %s\n", qPrintable(text));
    });
    if (!engine.open(0)) {
        std::fprintf(stderr, "no simulated programmer\n");
        return 1;
    }

    QByteArray image(ImageSize, Qt::Uninitialized);
    QRandomGenerator(3).fillRange(reinterpret_cast<quint32 *>(image.data()), image.size() / 4);
    QBuffer file(&image);
    if (!file.open(QIODevice::ReadOnly) || !engine.loadBuffer(&file))
        return 1;

    // The first pass also maps the simulated chip's memory; the second shows the engine alone.
    const double firstAutoWrite = run(engine, [&] { return engine.autoProgram(); });
    const double autoWrite = run(engine, [&] { return engine.autoProgram(); });
    // An empty file leaves the buffer erased, so that the read has to bring the image back.
    QBuffer empty;
    empty.open(QIODevice::ReadOnly);
    engine.loadBuffer(&empty);
    const double read = run(engine, [&] { return engine.read(); });
    QByteArray readBack;
    QBuffer saved(&readBack);
    saved.open(QIODevice::WriteOnly);
    engine.saveBuffer(&saved, {});
    if (readBack != image) {
        std::fprintf(stderr, "the image read back differs\n");
        return 1;
    }
    const double verify = run(engine, [&] { return engine.verify(); });
    if (firstAutoWrite < 0 || autoWrite < 0 || read < 0 || verify < 0)
        return 1;
    std::printf("auto-write: %7.1f MB/s (%.1f MB/s on a fresh chip)\n", autoWrite, firstAutoWrite);
    std::printf("read:       %7.1f MB/s\n", read);
    std::printf("verify:     %7.1f MB/s\n", verify);
    return 0;
}
