#include "emulated/emulatedftdibridge.h"
#include "engine/aprogrammer.h"
#include "protocol/programmer.h"
#include "sim/nandchip.h"
#include "sim/simfirmware.h"
#include "support/enginefixture.h"
#include "support/logcapture.h"
#include "usb/ftd.h"
#include "usb/ftdidriver.h"

#include <QSignalSpy>
#include <QTest>
#include <cstdio>
#include <memory>
#include <sys/fsuid.h>
#include <unistd.h>

namespace {

constexpr int BlockSize = 131072;

// Opens and lists with the file access rights of an ordinary user while it lives, so that
// access checks apply even to a test run as root.
class OrdinaryUserAccess
{
public:
    explicit OrdinaryUserAccess(bool apply)
        : previous(apply && geteuid() == 0 ? setfsuid(65534) : -1)
    {}
    ~OrdinaryUserAccess()
    {
        if (previous >= 0)
            setfsuid(uid_t(previous));
    }

private:
    const int previous;
};

} // namespace

// The real USB driver (libftdi1 over libusb) and the code above it, talking to an FT232H
// bridge emulated under umockdev with a simulated programmer's firmware behind it.
class tst_EmulatedUsb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        bridge = std::make_unique<EmulatedFtdiBridge>(&firmware);
        FtdiDriver::setInstance(&usbFtdiDriver());
        // libusb starts up with full rights (a later test takes some away).
        QCOMPARE(Ftd::deviceList().size(), 1);
    }
    void cleanupTestCase()
    {
        FtdiDriver::setInstance(nullptr);
        bridge.reset();
    }
    void init()
    {
        bridge->setHeldElsewhere(false);
        bridge->setAccessible(true);
    }

    void listsAndOpens_data()
    {
        QTest::addColumn<bool>("heldElsewhere");
        QTest::addColumn<bool>("accessible");
        QTest::addColumn<bool>("listedOpened");
        QTest::addColumn<QString>("openError");
        QTest::addColumn<QString>("log");
        QTest::newRow("free") << false << true << false << QString() << QString();
        QTest::newRow("in use elsewhere")
            << true << true << true << "Specified device not connected" << QString();
        QTest::newRow("no access") << false << false << false
                                   << "Failed to open USB device \"NPX4 Flash Programmer\": "
                                      "ftd2xx: Device not opened"
                                   << "udev rule";
    }
    void listsAndOpens()
    {
        QFETCH(bool, heldElsewhere);
        QFETCH(bool, accessible);
        QFETCH(bool, listedOpened);
        QFETCH(QString, openError);
        QFETCH(QString, log);
        bridge->setHeldElsewhere(heldElsewhere);
        bridge->setAccessible(accessible);
        LogCapture usbLog("npx4.usb");
        const OrdinaryUserAccess user(!accessible);

        const QList<FtdDeviceInfo> devices = Ftd::deviceList();
        QCOMPARE(devices.size(), 1);
        QCOMPARE(devices[0].isOpened(), listedOpened);
        QCOMPARE(devices[0].description(),
                 QByteArray("NPX4 Flash Programmer").leftJustified(64, '\0'));
        QCOMPARE(devices[0].serialNumber(), QByteArray("NPX4E001").leftJustified(16, '\0'));

        Programmer programmer;
        QCOMPARE(programmer.open(0), openError.isEmpty());
        if (!openError.isEmpty())
            QCOMPARE(programmer.errorString(), openError);
        if (!log.isEmpty())
            QVERIFY2(usbLog.messages().join('\n').contains(log),
                     qPrintable(usbLog.messages().join('\n')));
    }

    void blockRoundTripWithEcc()
    {
        const int ioctlsBefore = bridge->record().ioctls;
        {
            AProgrammer engine;
            EngineLog log(&engine);
            QVERIFY(engine.open(0));
            const QByteArray image = blockPattern(7) + blockPattern(8);
            QVERIFY(loadImage(engine, image));
            const auto run = [&](bool filed) {
                log.clear();
                return filed && log.waitFinished() ? log.lines.last() : QString("not finished");
            };
            QCOMPARE(run(engine.program({0, 1})), "finished: Complete");
            QCOMPARE(chipBlock(chip, 1), image.mid(BlockSize));
            QCOMPARE(run(engine.verify({0, 1})), "finished: Complete");
            QVERIFY(loadImage(engine, QByteArray(2 * BlockSize, '\0')));
            QCOMPARE(run(engine.read({0, 1})), "finished: Complete");
            QCOMPARE(bufferImage(engine).left(2 * BlockSize), image);
        }
        // What the host set is what the bridge received, and on close the kernel's serial
        // driver got the device back.
        const EmulatedFtdiBridge::Record record = bridge->record();
        QCOMPARE(record.latencyTimer, 2);
        QCOMPARE(record.largestInTransfer, 4096);
        QCOMPARE(record.largestOutTransfer, 4096);
        QCOMPARE(record.kernelDriver.mid(record.kernelDriver.size() - 2),
                 QStringList({"detached", "attached"}));
        QVERIFY(record.ioctls > ioctlsBefore);
    }

    void unplugDuringBlockTransfer()
    {
        AProgrammer engine;
        EngineLog log(&engine);
        QSignalSpy lost(&engine, &AProgrammer::deviceDisconnected);
        QSignalSpy back(&engine, &AProgrammer::deviceConnected);
        QVERIFY(engine.open(0));
        back.clear();
        log.clear();
        // Gone in the middle of the second block.
        bridge->unplugAfterSending(BlockSize + BlockSize / 2);
        QVERIFY(engine.read({0, 1, 2, 3}));
        QVERIFY(log.waitFinished());
        QCOMPARE(log.lines.last(), "finished: Failed");
        QCOMPARE(log.lines.filter("error: ").size(), 1);
        QTRY_COMPARE(lost.count(), 1);

        // Plugged in again, the programmer is found and opened by the engine's next poll.
        bridge->plug();
        QTRY_VERIFY([&] {
            sendPollTick(engine);
            return back.count() == 1;
        }());
        QCOMPARE(lost.count(), 1);
    }

private:
    NandChip chip;
    SimFirmware firmware{&chip};
    std::unique_ptr<EmulatedFtdiBridge> bridge;
};

int main(int argc, char *argv[])
{
    const QString reason = EmulatedFtdiBridge::unavailableReason();
    if (!reason.isEmpty()) {
        std::fprintf(stderr, "SKIP: %s\n", qPrintable(reason));
        return 77;
    }
    QCoreApplication app(argc, argv);
    tst_EmulatedUsb test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_emulatedusb.moc"
