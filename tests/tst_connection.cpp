#include "protocol/commands.h"
#include "protocol/programmer.h"
#include "sim/simframe.h"
#include "support/protocolrig.h"

#include <QFile>
#include <QSignalSpy>
#include <QtTest>

using namespace Npx4Protocol;
using Fault = SimFirmware::AnswerFault;

namespace {

const QString LatchText = QStringLiteral("Device reconnection required!");
const QString NoDeviceText = QStringLiteral("Specified device not connected");
const QString UpgradeFailed = QStringLiteral("Programmer firmware upgrade failed.");

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

// What an opening reports for firmware `version`, with the upgrade offer `upgrade` if any.
QStringList opened(const char *version, const char *upgrade = nullptr)
{
    QStringList events = {"opened", QStringLiteral("Programmer firmware version: ") + version};
    if (upgrade)
        events.append(upgrade);
    return events;
}

} // namespace

class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    void choosesFreeProgrammer()
    {
        SimRig rig("programmers=2");
        rig.device(0).setOpenedElsewhere(true);
        QVERIFY(!rig.programmer.open(1));
        QCOMPARE(rig.programmer.errorString(), NoDeviceText);

        rig.set.driver().failNextCalls(SimDriver::Call::Open, FtDeviceNotOpened);
        QVERIFY(!rig.programmer.open(0));
        QCOMPARE(rig.programmer.errorString(),
                 QStringLiteral("Failed to open USB device \"NPX4 Flash Programmer\": "
                                "ftd2xx: Device not opened"));

        QVERIFY(rig.programmer.open(0));
        QCOMPARE(rig.firmware(0).commandCount(), 0);
        QVERIFY(rig.firmware(1).commandCount() > 0);
        QCOMPARE(rig.device(1).latencyTimer(), quint8(2));
    }

    void ignoresOtherDescriptions_data()
    {
        QTest::addColumn<QByteArray>("description");
        QTest::newRow("longer") << QByteArray("NPX4 Flash Programmer2");
        QTest::newRow("beginning only") << QByteArray("NPX4 Flash Programme");
    }

    void ignoresOtherDescriptions()
    {
        QFETCH(QByteArray, description);
        SimDriverGuard guard;
        guard->addDevice(description);
        Programmer programmer;
        QVERIFY(!programmer.open(0));
        QCOMPARE(programmer.errorString(), NoDeviceText);
        QCOMPARE(guard->calls(SimDriver::Call::Open), 0);
    }

    void firmwareVersions_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<int>("commands");
        // Commands: the information query, then the defaults the firmware knows or, when the
        // device is refused, the farewell mode command.
        QTest::newRow("0.7") << QByteArray("firmware=0.7") << opened("0.7", "0.7 -> 1.5") << 2;
        QTest::newRow("1.3") << QByteArray("firmware=1.3") << opened("1.3", "1.3 -> 1.5") << 4;
        QTest::newRow("1.4") << QByteArray("firmware=1.4") << opened("1.4", "1.4 -> 1.5") << 5;
        QTest::newRow("1.5") << QByteArray("firmware=1.5") << opened("1.5") << 5;
        QTest::newRow("2.0") << QByteArray("firmware=2.0") << QStringList() << 2;
    }

    void firmwareVersions()
    {
        QFETCH(QByteArray, config);
        QFETCH(QStringList, events);
        SimRig rig(config);
        const Events reported(rig.programmer);
        const bool opens = !events.isEmpty();
        QCOMPARE(rig.programmer.open(0), opens);
        QCOMPARE(rig.programmer.isConnected(), opens);
        QCOMPARE(reported, events);
        QTEST(rig.firmware().commandCount(), "commands");
        QCOMPARE(rig.firmware().mode(), int(opens ? ModeReady : ModeOff));
        if (!opens) {
            QCOMPARE(
                rig.programmer.errorString(),
                QStringLiteral("Device has unsupported firmware version.\nPlease download new "
                               "version of Velmora NPX4 Programmer from <a href=\"%1\">%1</a>.")
                    .arg("https://velmora.example/download/npx4-prog-setup.exe"));
        }
    }

    // The defaults go out at every opening; the ECC choice is the user's, and one made while
    // disconnected is what the next connection uses.
    void defaultsAtOpening()
    {
        SimRig rig;
        QCOMPARE(rig.programmer.open(7), false);
        QCOMPARE(rig.programmer.setUseEcc(false), int(Programmer::ResultNotConnected));
        QCOMPARE(rig.programmer.errorString(), NoDeviceText);
        QVERIFY(rig.programmer.open(0));
        QCOMPARE(rig.firmware().parameter(), quint8(151));
        QCOMPARE(rig.firmware().periodValue(), quint8(3));
        QCOMPARE(rig.firmware().periodDivisor(), quint8(10));
        QCOMPARE(rig.firmware().eccSpareSize(), 0);
        QVERIFY(!rig.programmer.eccActive());
        QCOMPARE(rig.programmer.setUseEcc(true), int(Programmer::ResultOk));
        QCOMPARE(rig.firmware().eccSpareSize(), EccSpareSize);
        QVERIFY(rig.programmer.eccActive());
    }

    // A device that drops off the bus while its defaults are set is no open connection; the user
    // sees the failure that ended it, not the failed farewell after it.
    void losingDeviceWhileConfiguringFailsOpen()
    {
        AnsweringRig rig;
        rig.end.onCommand(commandBytes(CmdConfigure, CfgMode, 0, ModeReady),
                          [](SimHostLink &link) { link.leaveBus(-1); });
        QSignalSpy opened(&rig.programmer, &Programmer::deviceOpened);
        QVERIFY(!rig.programmer.open(0));
        QVERIFY(!rig.programmer.isConnected());
        QVERIFY(opened.isEmpty());
        QVERIFY2(rig.programmer.errorString().startsWith("Receive data failed: ftd2xx: "),
                 qPrintable(rig.programmer.errorString()));
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
        QVERIFY(!rig.programmer.isConnected());
        QCOMPARE(reported, QStringList({"Programmer firmware upgrade successfully finished.",
                                        "Please reconnect programmer to computer."}));
        QCOMPARE(rig.firmware().uploadedImage(), firmwareImage());
        QCOMPARE(progress.count(), FwImageSize / FwPieceSize + 2);
        for (int k = 0; k < progress.count(); ++k) {
            const int expected = std::min(k, FwImageSize / FwPieceSize) * FwPieceSize;
            QCOMPARE(progress.at(k), QVariantList({expected, FwImageSize}));
        }

        // Tried until the device is back; a connection, once made, ends the tries.
        QTRY_VERIFY_WITH_TIMEOUT(rig.programmer.isConnected() || rig.programmer.open(0), 5000);
        QCOMPARE(rig.programmer.fwVersion(), quint16(0x0105));
    }

    void upgradeOutcomes_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("imageSent");
        using Boot = SimFirmware::BootFault;
        QTest::newRow("acknowledged") << int(Boot::None) << 0 << QString() << true;
        QTest::newRow("wrong ready code")
            << int(Boot::WrongReadyCode) << 2 << "Programmer failure detected." << false;
        QTest::newRow("no acknowledgement") << int(Boot::NoAck) << 2 << UpgradeFailed << true;
        QTest::newRow("acknowledgement 0x00") << int(Boot::WrongAck) << 2 << UpgradeFailed << true;
    }

    // Every upload that reached the boot loader leaves the programmer needing a replug.
    void upgradeOutcomes()
    {
        QFETCH(int, fault);
        QFETCH(int, result);
        QFETCH(bool, imageSent);
        SimRig rig;
        QVERIFY(rig.programmer.open(0));
        rig.firmware().setBootFault(SimFirmware::BootFault(fault));
        const Events reported(rig.programmer);

        QCOMPARE(rig.programmer.upgradeFirmware(), result);
        if (result != Programmer::ResultOk)
            QTEST(rig.programmer.errorString(), "text");
        QCOMPARE(rig.firmware().uploadedImage(), imageSent ? firmwareImage() : QByteArray());
        QCOMPARE(reported.last(), QStringLiteral("Please reconnect programmer to computer."));
        const int writes = rig.writes();
        QCOMPARE(rig.programmer.upgradeFirmware(), int(Programmer::ResultTransferFailed));
        QCOMPARE(rig.programmer.errorString(), LatchText);
        QCOMPARE(rig.writes(), writes);
    }

    // The channel's watch notices an unplugged programmer by itself; that also ends the need to
    // replug.
    void unplugClosesAndClearsLatch()
    {
        SimRig rig;
        QVERIFY(rig.programmer.open(0));
        rig.firmware().injectAnswerFault({Fault::CorruptCrc, 0, CmdGetInfo});
        QCOMPARE(rig.programmer.getInfo(nullptr), int(Programmer::ResultTransferFailed));
        QSignalSpy closed(&rig.programmer, &Programmer::deviceClosed);

        rig.device().unplug();
        QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 700);
        QVERIFY(!rig.programmer.isConnected());
        rig.device().plug();
        QVERIFY2(rig.programmer.open(0), qPrintable(rig.programmer.errorString()));
    }

    // When the latch was set by a path that closed the channel itself, nothing watches the device
    // any more: finding no programmer on the bus is what ends the latch.
    void replugAfterLatch()
    {
        SimRig rig;
        QVERIFY(rig.programmer.open(0));
        rig.set.driver().failNextCalls(SimDriver::Call::Read, FtIoError);
        QCOMPARE(rig.programmer.getInfo(nullptr), int(Programmer::ResultTransferFailed));
        QVERIFY(!rig.programmer.isConnected());
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
