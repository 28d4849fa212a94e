// Opening a programmer: which device is taken, what each firmware version gets, the boot loader
// and firmware upgrades, and the replug that a failed transfer asks for.
#include "protocol/commands.h"
#include "protocol/programmer.h"
#include "support/protocolrig.h"

#include <QFile>
#include <QSignalSpy>
#include <QtTest>

using namespace Npx4Protocol;

namespace {

const QString LatchText = QStringLiteral("Device reconnection required!");
const QString NoDeviceText = QStringLiteral("Specified device not connected");
const QString ReplugText = QStringLiteral("Please reconnect programmer to computer.");

QByteArray firmwareImage()
{
    QFile image(QStringLiteral(":/firmware.bin"));
    return image.open(QIODevice::ReadOnly) ? image.readAll() : QByteArray();
}

// The connection's reports in the order they came, as text.
struct Events : QStringList
{
    explicit Events(Programmer &programmer)
    {
        QObject::connect(&programmer, &Programmer::deviceOpened, [this] { append("opened"); });
        QObject::connect(&programmer, &Programmer::info,
                         [this](const QString &text) { append(text); });
        QObject::connect(
            &programmer, &Programmer::fwUpgradeNeed,
            [this](const QString &from, const QString &to) { append(from + " -> " + to); });
    }
};

} // namespace

class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    // Only a free device with exactly the programmer's description is opened. The defaults go out
    // at the opening, with the ECC choice made while disconnected.
    void opensFreeProgrammer()
    {
        for (const char *description : {"NPX4 Flash Programmer2", "NPX4 Flash Programme"}) {
            SimDriverGuard guard;
            guard->addDevice(description);
            QVERIFY(!Programmer().open(0));
            QCOMPARE(guard->calls(SimDriver::Call::Open), 0);
        }
        SimRig rig("programmers=2");
        rig.device(0).setOpenedElsewhere(true);
        QVERIFY(!rig.programmer.open(1));
        QCOMPARE(rig.programmer.errorString(), NoDeviceText);
        rig.set.driver().failNextCalls(SimDriver::Call::Open, FtDeviceNotOpened);
        QVERIFY(!rig.programmer.open(0));
        QCOMPARE(rig.programmer.errorString(), "Failed to open USB device \"NPX4 Flash "
                                               "Programmer\": ftd2xx: Device not opened");
        QCOMPARE(rig.programmer.setUseEcc(false), int(Programmer::ResultNotConnected));
        QVERIFY(rig.programmer.open(0));
        QCOMPARE(rig.firmware(0).commandCount(), 0);
        QCOMPARE(rig.device(1).latencyTimer(), quint8(2));
        QCOMPARE(rig.firmware(1).parameter(), quint8(151));
        QCOMPARE(rig.firmware(1).eccSpareSize(), 0);
    }

    void firmwareVersions_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("events"); // none: the device is refused
        // The information query, then the defaults the firmware knows or the farewell mode.
        QTest::addColumn<int>("commands");
        const QString opened = "opened|Programmer firmware version: ";
        QTest::newRow("0.7") << QByteArray("firmware=0.7") << opened + "0.7|0.7 -> 1.5" << 2;
        QTest::newRow("1.3") << QByteArray("firmware=1.3") << opened + "1.3|1.3 -> 1.5" << 4;
        QTest::newRow("1.4") << QByteArray("firmware=1.4") << opened + "1.4|1.4 -> 1.5" << 5;
        QTest::newRow("1.5") << QByteArray("firmware=1.5") << opened + "1.5" << 5;
        QTest::newRow("2.0") << QByteArray("firmware=2.0") << QString() << 2;
    }

    void firmwareVersions()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, events);
        SimRig rig(config);
        const Events reported(rig.programmer);
        const bool opens = !events.isEmpty();
        QCOMPARE(rig.programmer.open(0), opens);
        QCOMPARE(reported.join('|'), events);
        QTEST(rig.firmware().commandCount(), "commands");
        QCOMPARE(rig.firmware().mode(), int(opens ? ModeReady : ModeOff));
    }

    // A programmer waiting in its boot loader is given the built-in image while it is opened; once
    // it has restarted (off the bus and back) it opens normally.
    void bootLoaderLoadedAtOpen()
    {
        SimRig rig("bootloader=1");
        rig.firmware().setRestartDelay(500);
        QSignalSpy progress(&rig.programmer, &Programmer::fwUpgradeProgress);
        const Events reported(rig.programmer);
        QVERIFY(!rig.programmer.open(0));
        QCOMPARE(rig.programmer.errorString(), QStringLiteral("Device reconnection required"));
        QCOMPARE(reported,
                 QStringList({"Programmer firmware upgrade successfully finished.", ReplugText}));
        QCOMPARE(rig.firmware().uploadedImage(), firmwareImage());
        // From 0 to the whole image piece by piece, the end told twice.
        QCOMPARE(progress.count(), FwImageSize / FwPieceSize + 2);
        QCOMPARE(progress.last(), QVariantList({FwImageSize, FwImageSize}));
        // Tried until the device is back; a connection, once made, ends the tries.
        QTRY_VERIFY_WITH_TIMEOUT(rig.programmer.isConnected() || rig.programmer.open(0), 5000);
        QCOMPARE(rig.programmer.fwVersion(), quint16(0x0105));
    }

    // Every upload that reached the boot loader leaves the programmer needing a replug.
    void upgradeOutcomes()
    {
        using Boot = SimFirmware::BootFault;
        const QString failed = "Programmer firmware upgrade failed.";
        // The boot loader's fault, the error it gives (none: the upgrade is done), the image sent.
        const std::tuple<Boot, QString, bool> outcomes[] = {
            {Boot::None, QString(), true},
            {Boot::WrongReadyCode, "Programmer failure detected.", false},
            {Boot::NoAck, failed, true},
            {Boot::WrongAck, failed, true}};
        for (const auto &[fault, text, imageSent] : outcomes) {
            SimRig rig;
            QVERIFY(rig.programmer.open(0));
            rig.firmware().setBootFault(fault);
            const Events reported(rig.programmer);
            QCOMPARE(rig.programmer.upgradeFirmware(),
                     int(text.isEmpty() ? Programmer::ResultOk : Programmer::ResultTransferFailed));
            if (!text.isEmpty())
                QCOMPARE(rig.programmer.errorString(), text);
            QCOMPARE(rig.firmware().uploadedImage(), imageSent ? firmwareImage() : QByteArray());
            QCOMPARE(reported.last(), ReplugText);
            const int writes = rig.writes();
            QCOMPARE(rig.programmer.upgradeFirmware(), int(Programmer::ResultTransferFailed));
            QCOMPARE(rig.programmer.errorString(), LatchText);
            QCOMPARE(rig.writes(), writes);
        }
    }

    // A failed transfer asks for a replug. While the channel is open its watch notices the
    // unplugged programmer; once the channel is closed, finding no programmer on the bus ends it.
    void replugEndsLatch()
    {
        SimRig rig;
        QSignalSpy closed(&rig.programmer, &Programmer::deviceClosed);
        QVERIFY(rig.programmer.open(0));
        rig.firmware().injectAnswerFault({SimFirmware::AnswerFault::CorruptCrc, 0, CmdGetInfo});
        QCOMPARE(rig.programmer.getInfo(nullptr), int(Programmer::ResultTransferFailed));
        rig.device().unplug();
        QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 700);
        rig.device().plug();
        QVERIFY(rig.programmer.open(0));

        rig.set.driver().failNextCalls(SimDriver::Call::Read, FtIoError);
        QCOMPARE(rig.programmer.getInfo(nullptr), int(Programmer::ResultTransferFailed));
        QVERIFY(!rig.programmer.open(0));
        QCOMPARE(rig.programmer.errorString(), LatchText);
        rig.device().unplug();
        QVERIFY(!rig.programmer.open(0));
        QCOMPARE(rig.programmer.errorString(), NoDeviceText);
        rig.device().plug();
        QVERIFY2(rig.programmer.open(0), qPrintable(rig.programmer.errorString()));
    }
};

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
