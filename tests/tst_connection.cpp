// Opening a programmer, firmware versions and upgrades, and the replug a failure asks for.
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
    // Only a free device with the exact description opens, with the ECC choice made before.
    void opensFreeProgrammer()
    {
        SimRig rig("programmers=2");
        rig.device(0).setOpenedElsewhere(true);
        rig.set.driver().addDevice("NPX4 Flash Programmer2");
        rig.set.driver().addDevice("NPX4 Flash Programme");
        QVERIFY(!rig.programmer.open(1));
        QCOMPARE(rig.programmer.errorString(), NoDeviceText);
        rig.driver.failNextCalls(CountingDriver::Call::Open, FtDeviceNotOpened);
        QVERIFY(!rig.programmer.open(0));
        QCOMPARE(rig.programmer.errorString(), "Failed to open USB device \"NPX4 Flash "
                                               "Programmer\": ftd2xx: Device not opened");
        QCOMPARE(rig.programmer.setUseEcc(false), Programmer::ResultNotConnected);
        QVERIFY(rig.programmer.open(0));
        QCOMPARE(rig.firmware(0).commandCount(), 0);
        QCOMPARE(rig.device(1).latencyTimer(), quint8(2));
        QCOMPARE(rig.firmware(1).parameter(), quint8(151));
        QCOMPARE(rig.firmware(1).periodValue(), quint8(3));
        QCOMPARE(rig.firmware(1).periodDivisor(), quint8(10));
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

    // A programmer in its boot loader gets the image at opening, and opens once it restarted.
    void bootLoaderLoadedAtOpen()
    {
        SimRig rig("bootloader=1");
        rig.firmware().setRestartDelay(500);
        const Events reported(rig.programmer);
        QVERIFY(!rig.programmer.open(0));
        QCOMPARE(rig.programmer.errorString(), QStringLiteral("Device reconnection required"));
        QCOMPARE(reported,
                 QStringList({"Programmer firmware upgrade successfully finished.", ReplugText}));
        QCOMPARE(rig.firmware().uploadedImage(), firmwareImage());
        // Tried until the device is back; a connection, once made, ends the tries.
        QTRY_VERIFY_WITH_TIMEOUT(rig.programmer.isConnected() || rig.programmer.open(0), 5000);
        QCOMPARE(rig.programmer.fwVersion(), quint16(0x0105));
    }

    // Every upload that reached the boot loader leaves the programmer needing a replug.
    void upgradeOutcomes()
    {
        using Boot = SimFirmware::BootFault;
        // The boot loader's fault, the error it gives (none: the upgrade is done), the image sent.
        const std::tuple<Boot, QString, bool> outcomes[] = {
            {Boot::None, QString(), true},
            {Boot::WrongReadyCode, "Programmer failure detected.", false},
            {Boot::NoAck, "Programmer firmware upgrade failed.", true},
            {Boot::WrongAck, "Programmer firmware upgrade failed.", true}};
        for (const auto &[fault, text, imageSent] : outcomes) {
            SimRig rig;
            QVERIFY(rig.programmer.open(0));
            rig.firmware().setBootFault(fault);
            const Events reported(rig.programmer);
            QCOMPARE(rig.programmer.upgradeFirmware(),
                     text.isEmpty() ? Programmer::ResultOk : Programmer::ResultTransferFailed);
            if (!text.isEmpty())
                QCOMPARE(rig.programmer.errorString(), text);
            QCOMPARE(rig.firmware().uploadedImage(), imageSent ? firmwareImage() : QByteArray());
            QCOMPARE(reported.last(), ReplugText);
            const int writes = rig.writes();
            QCOMPARE(rig.programmer.upgradeFirmware(), Programmer::ResultTransferFailed);
            QCOMPARE(rig.programmer.errorString(), LatchText);
            QCOMPARE(rig.writes(), writes);
        }
    }

    // A failed transfer asks for a replug: seen by the channel's watch, or by an empty bus.
    void replugEndsLatch()
    {
        SimRig rig;
        QSignalSpy closed(&rig.programmer, &Programmer::deviceClosed);
        QVERIFY(rig.programmer.open(0));
        rig.firmware().injectAnswerFault({SimFirmware::AnswerFault::CorruptCrc, 0, CmdGetInfo});
        QCOMPARE(rig.programmer.getInfo(nullptr), Programmer::ResultTransferFailed);
        rig.device().unplug();
        QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 700);
        rig.device().plug();
        QVERIFY(rig.programmer.open(0));

        rig.driver.failNextCalls(CountingDriver::Call::Read, FtIoError);
        QCOMPARE(rig.programmer.getInfo(nullptr), Programmer::ResultTransferFailed);
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
