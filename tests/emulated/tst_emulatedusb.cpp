#include "emulated/emulatedftdibridge.h"
#include "engine/aprogrammer.h"
#include "protocol/programmer.h"
#include "sim/nandchip.h"
#include "sim/simfirmware.h"
#include "support/enginefixture.h"
#include "support/logcapture.h"
#include "usb/ftd.h"
#include "usb/ftdidriver.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <sys/fsuid.h>
#include <unistd.h>

// The real USB driver (libftdi1 over libusb) and the code above it, talking to an FT232H
// bridge emulated under umockdev with a simulated programmer's firmware behind it.
class tst_EmulatedUsb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        FtdiDriver::install(&usbFtdiDriver());
        // libusb starts up with full rights (a later test takes some away).
        QCOMPARE(Ftd::deviceList().size(), 1);
    }
    void cleanupTestCase() { FtdiDriver::install(nullptr); }
    void init() { bridge.setAccess(false, true); }

    void listsAndOpens_data()
    {
        QTest::addColumn<bool>("heldElsewhere");
        QTest::addColumn<bool>("accessible");
        QTest::addColumn<QString>("openError");
        QTest::newRow("free") << false << true << QString();
        QTest::newRow("in use elsewhere") << true << true << "Specified device not connected";
        QTest::newRow("no access") << false << false
                                   << "Failed to open USB device \"NPX4 Flash Programmer\": "
                                      "ftd2xx: Device not opened";
    }
    void listsAndOpens()
    {
        QFETCH(bool, heldElsewhere);
        QFETCH(bool, accessible);
        QFETCH(QString, openError);
        bridge.setAccess(heldElsewhere, accessible);
        LogCapture usbLog("npx4.usb");
        // Lists and opens with the file access rights of an ordinary user, so that access
        // checks apply even to a test run as root (setfsuid(-1) changes nothing).
        const uid_t previousUser = setfsuid(!accessible && geteuid() == 0 ? 65534 : uid_t(-1));
        const auto restoreUser = qScopeGuard([previousUser] { setfsuid(previousUser); });

        const QList<FtdDeviceInfo> devices = Ftd::deviceList();
        QCOMPARE(devices.size(), 1);
        QCOMPARE(devices[0].isOpened(), heldElsewhere);
        QCOMPARE(devices[0].description(),
                 QByteArray("NPX4 Flash Programmer").leftJustified(64, '\0'));
        QCOMPARE(devices[0].serialNumber(), QByteArray("NPX4E001").leftJustified(16, '\0'));

        Programmer programmer;
        QCOMPARE(programmer.open(0) ? QString() : programmer.errorString(), openError);
        QVERIFY(accessible || usbLog.messages().join('\n').contains("udev rule"));
    }

    void blockTransfersAndUnplug()
    {
        {
            AProgrammer engine;
            EngineLog log(&engine);
            QSignalSpy lost(&engine, &AProgrammer::deviceDisconnected);
            QSignalSpy back(&engine, &AProgrammer::deviceConnected);
            QVERIFY(engine.open(0));
            const QByteArray image = blockPattern(7) + blockPattern(8);
            QVERIFY(loadImage(engine, image));
            const auto run = [&](bool filed) {
                log.clear();
                return filed && log.waitFinished() ? log.lines.last() : QString("not finished");
            };
            QCOMPARE(run(engine.program({0, 1})), "finished: Complete");
            QCOMPARE(chipBlock(chip, 1), image.mid(Programmer::blockSize()));
            QCOMPARE(run(engine.verify({0, 1})), "finished: Complete");
            QVERIFY(loadImage(engine, QByteArray(2 * Programmer::blockSize(), '\0')));
            QCOMPARE(run(engine.read({0, 1})), "finished: Complete");
            QCOMPARE(bufferImage(engine).left(2 * Programmer::blockSize()), image);

            // Gone in the middle of the second block; plugged in again, the programmer is
            // found and opened by the engine's next poll.
            back.clear();
            bridge.unplugAfterSending(Programmer::blockSize() + Programmer::blockSize() / 2);
            QCOMPARE(run(engine.read({0, 1, 2, 3})), "finished: Failed");
            QCOMPARE(log.lines.filter("error: ").size(), 1);
            QTRY_COMPARE(lost.count(), 1);
            bridge.plug();
            QTRY_VERIFY([&] {
                sendPollTick(engine);
                return back.count() == 1;
            }());
            QCOMPARE(lost.count(), 1);
        }
        // What the host set is what the bridge received, and on close the kernel's serial
        // driver got the device back.
        const EmulatedFtdiBridge::Record record = bridge.record();
        QCOMPARE(record.latencyTimer, 2);
        QCOMPARE(record.largestInTransfer, 4096);
        QCOMPARE(record.largestOutTransfer, 4096);
        QCOMPARE(record.kernelDriver.mid(record.kernelDriver.size() - 2),
                 QStringList({"detached", "attached"}));
    }

private:
    NandChip chip;
    SimFirmware firmware{&chip};
    EmulatedFtdiBridge bridge{&firmware};
};

int main(int argc, char *argv[])
{
    if (!EmulatedFtdiBridge::available())
        return 77;
    QCoreApplication app(argc, argv);
    tst_EmulatedUsb test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_emulatedusb.moc"
