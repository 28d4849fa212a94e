#include "support/enginefixture.h"
#include "support/simtestconfig.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace {

using Geometry::BlockSize;

struct CliResult
{
    int exitCode = -1;
    QString out;
    QString err;
};

// Starts the program on the simulated programmers of `config`; without one, NPX4_SIMULATOR is
// unset.
void start(QProcess &process, const QStringList &arguments, const QString &config)
{
    if (config.isNull())
        qunsetenv("NPX4_SIMULATOR");
    else
        qputenv("NPX4_SIMULATOR", simTestConfig(config.toUtf8()));
    process.start(QStringLiteral(NPX4_CLI_PATH), arguments);
    QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// What the chip holds before runs on an image.
QByteArray olderImage()
{
    return imageWithDirectory({directoryEntry('a'), directoryEntry('b')});
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;

    // Runs the program on the chip in `dir`, `input` on its stdin; a failed expectation ends the
    // test.
    CliResult run(const QStringList &arguments, int expectedExit, const QString &config = QString(),
                  const QByteArray &input = QByteArray())
    {
        QProcess process;
        start(process, arguments, "storage=chip.bin;" + config);
        process.write(input);
        process.closeWriteChannel();
        CliResult result;
        if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit) {
            result = {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput()),
                      QString::fromLocal8Bit(process.readAllStandardError())};
        }
        // stderr is a pipe here: whole lines only, and the window's markup removed.
        [&] {
            QVERIFY2(result.exitCode == expectedExit &&
                         !result.err.contains(QRegularExpression("[\r<]")),
                     qPrintable(QString::number(result.exitCode) + ' ' + result.err));
        }();
        return result;
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        QVERIFY(QDir::setCurrent(dir->path()));
    }

    void runs_data()
    {
        QTest::addColumn<bool>("onImage");
        QTest::addColumn<QString>("config");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        // On an erased chip, or on one that holds olderImage().
        const auto row = [](bool onImage, const char *name, const char *config,
                            const QStringList &arguments, int exitCode, const QString &message) {
            QTest::newRow(name) << onImage << QString(config) << arguments << exitCode << message;
        };
        // No simulated programmer is listed: a usage error must be found before any device is.
        const auto usage = [&](const char *name, const QStringList &arguments,
                               const char *message) {
            row(false, name, "programmers=0", arguments, 2, message);
        };
        usage("no command", {}, "No command given");
        usage("file missing", {"verify"}, "needs a FILE");
        usage("input file absent", {"write", "/nonexistent/image.bin"}, "does not exist");
        usage("output place absent", {"read", "/nonexistent/dir/image.bin"}, "Cannot write");
        usage("json error", {"erase", "--fast", "--json"},
              R"({"error":"Unknown option 'fast'.","exitStatus":2})");
        usage("gang read", {"read", "f.bin", "--device", "all"}, "takes one programmer");
        usage("two on stdout", {"read", "-", "--report", "-"}, "can use standard output");
        usage("pad without blocks", {"verify", "f.bin", "--pad"}, "--pad applies to write");
        usage("range backwards", {"erase", "--blocks", "9...3"}, "\"9...3\" runs backwards");
        usage("one read", {"read", "f.bin", "--repeat", "1"},
              "--repeat needs a number from 2 to 15, not \"1\"");
        usage("beyond chip", {"erase", "--blocks", "0-1024"},
              "block 1024 is beyond the last block 1023");
        usage("unknown backend", {"list", "--programmer", "simulator"}, "\"simulator\" is unknown");
        usage("bad simulator keys", {"info", "--programmer", "sim:bogus=1"},
              "unknown key \"bogus\"");
        row(false, "no programmer", "programmers=0", {"info"}, 3,
            "No programmer found: Specified device not connected");
        // The reason comes with a link in the window's markup; the console shows its text only.
        row(false, "unsupported firmware", "firmware=2.0", {"info"}, 3,
            "Please download new version of Velmora NPX4 Programmer from "
            "https://velmora.example/download/npx4-prog-setup.exe.");
        row(false, "no chip", "chip=none", {"hash", "--blocks", "0"}, 1,
            "Flash is not inserted to the programmer\nFailed\n");
        row(false, "no image", "", {"read", "out.bin"}, 1, "Invalid or empty flash content");
        // A device is written as it is, never replaced by a file, and its error is told.
        row(false, "device that is full", "", {"read", "/dev/full", "--blocks", "0"}, 1,
            "Failed to write data: No space left on device");
        row(false, "past the file", "", {"write", "image.bin", "--blocks", "60...70"}, 2,
            "covers the blocks 0...66 only");
        row(false, "info", "", {"info"}, 0,
            "Firmware: 1.5\nChip: Samsung K9F1G08U0x\nBad blocks: none\n");
        row(false, "blank check", "", {"blank-check"}, 0, "Complete");
        // Progress names its phase by key, and its totals are the blocks processed.
        row(false, "write", "", {"write", "image.bin", "--blocks", "0...66", "--progress=json"}, 0,
            R"({"done":67,"phase":"load","total":67})");
        row(false, "firmware upgrade", "", {"upgrade-firmware"}, 0, "Finished\n");
        row(false, "info with limit", "bad=3", {"info"}, 0,
            "Organisation: 1 Gbit, 3.3 V, x8, 2048 + 64-byte pages, 128 KiB blocks\n"
            "Bad-block limit: 20 (within)\n");
        row(false, "write over the limit", "bad=3,9", {"write", "image.bin", "--max-bad", "1"}, 1,
            "The chip has 2 bad blocks, more than the limit of 1");
        row(false, "surface test", "program-fail=2;bad=1", {"test", "--blocks", "0-3", "--json"}, 1,
            R"("failed":[{"bitsCleared":0,"bitsSet":0,"block":2,"failure":"program"}],)"
            R"("newlyBad":[],"notTested":[1],"tested":3})");
        // The list shows a programmer that runs its boot loader; a serial number picks one.
        row(false, "list", "programmers=3;bootloader@2=1", {"list", "--json"}, 0,
            R"("firmware":"","index":1,"serial":"SIM00002","state":"boot loader"})");
        row(false, "info by serial", "programmers=3;chip@3=ECDA109544",
            {"info", "--json", "--serial", "SIM00003"}, 0,
            R"("chipId":"ecda109544","firmware":"1.5","organisation":"2 Gbit, 3.3 V, x8, 2048 + )"
            R"(64-byte pages, 128 KiB blocks","serial":"SIM00003","withinBadBlockLimit":null})");

        // The read takes the image's extent from the chip's directory and saves just that.
        row(true, "read", "", {"read", "read.bin"}, 0, "Saved 67 block(s)");
        static const QRegularExpression markup(QStringLiteral("info: |</?b>"));
        // Like a read, a hash covers the image's extent unless told otherwise.
        row(true, "hash", "", {"hash"}, 0, digestLines(olderImage()).join('\n').remove(markup));
        // JSON digests are lowercase, as md5sum prints them.
        row(true, "hash as JSON", "", {"hash", "--json", "--blocks", "0...66"}, 0,
            "\"md5\":\"" + QCryptographicHash::hash(olderImage(), QCryptographicHash::Md5).toHex());
        row(true, "verify a changed image", "", {"verify", "image.bin"}, 1, "Failed\n");
        row(true, "verify lists differences", "", {"verify", "image.bin", "--json"}, 1,
            R"("differences":[{"bitsCleared":)");
        row(true, "verify a pipe", "",
            {"verify", "-", "--no-ecc", "--blocks", "35...66", "--progress=json"}, 0,
            R"({"done":32,"phase":"verify","total":32})");
        row(true, "blank check, written", "", {"blank-check", "--blocks", "60-70"}, 1, "Failed\n");
        // The directory block is erased first: one that fails moves before blocks above are
        // written.
        row(true, "directory erase fails", "erase-fail=2", {"auto-write", "image.bin"}, 0,
            "Block 2 marked as bad");
        // The directory block is erased once only, so blocks that take one erase take the image.
        row(true, "one erase a block", "wear=1", {"auto-write", "image.bin"}, 0, "Complete");
        // Block 1 moves into the directory's erased block; once blocks above it are written, the
        // directory block can move no more.
        row(true, "directory moves late", "erase-fail=0,3", {"auto-write", "image.bin"}, 1,
            "Block 2 had to move to another Flash block after blocks above it were written");
        // The unchanged chunk above the moved block moves too: it is written again.
        row(true, "update moves a block", "erase-fail=10", {"update", "image.bin"}, 0,
            "Auto-programming 35 Flash block(s): 0...34\nBlock 10 marked as bad");
        row(true, "whole chip", "bad=5,700", {"auto-write", "image.bin", "--all", "--pad"}, 0,
            "no good Flash block left (2 bad blocks): 1022...1023");
        // A pipe tells no size: it is read to its end.
        row(false, "pipe", "", {"auto-write", "/dev/stdin", "--blocks", "0...66"}, 0, "Complete");
    }

    // Each run exits with its own status and says why.
    void runs()
    {
        QFETCH(bool, onImage);
        QFETCH(QString, config);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        if (onImage)
            run({"auto-write", "/dev/stdin"}, 0, QString(), olderImage());
        // The new image shares the head and the second chunk with the older one.
        const QByteArray image = imageWithDirectory({directoryEntry('c'), directoryEntry('b')});
        QVERIFY(writeFile("image.bin", image));
        const CliResult result = run(arguments, exitCode, config, image);
        QVERIFY2((result.out + result.err).contains(message), qPrintable(result.out + result.err));
        if (exitCode != 0 && !arguments.contains(QStringLiteral("--json")))
            QVERIFY(result.out.isEmpty());
        // A read that failed leaves no file behind.
        QVERIFY(!QFile::exists(QStringLiteral("out.bin")));
        // A write leaves the image on the chip, but for what no good Flash block was left for.
        if (exitCode == 0 && arguments.at(0).contains(QRegularExpression("write|update"))) {
            const bool all = arguments.contains(QStringLiteral("--all"));
            run({"read", "read.bin", all ? "--all" : "--blocks=0...66"}, 0, config);
            QVERIFY(readFile("read.bin") ==
                    image + QByteArray(all ? (1022 - 67) * BlockSize : 0, char(0xFF)));
        }
    }

    // A chip whose ID says 2 Gbit is not touched by a write; a read warns, a forced write goes.
    void wrongGeometryLeavesChip()
    {
        run({"auto-write", "/dev/stdin"}, 0, QString(), olderImage());
        const QByteArray before = readFile("chip.bin");
        QVERIFY(writeFile("image.bin", imageWithDirectory({directoryEntry('z')})));
        const QString config("chip=ECDA109544");
        QVERIFY(run({"auto-write", "image.bin", "--report", "report.jsonl"}, 1, config)
                    .err.contains("is 2 Gbit with 2048-byte pages; the programmer handles 1 Gbit "
                                  "x8 chips only"));
        QVERIFY(readFile("chip.bin") == before);
        QVERIFY(readFile("report.jsonl").contains(R"("status":"wrong-geometry")"));
        QVERIFY(run({"read", "read.bin"}, 0, config).err.contains("Warning: Unknown Samsung"));
        QVERIFY(readFile("read.bin") == olderImage());
        run({"auto-write", "image.bin", "--force-geometry"}, 0, config);
        QVERIFY(readFile("chip.bin") != before);
    }

    // The backend --programmer names wins over NPX4_SIMULATOR, which it does not need.
    void programmerOption()
    {
        for (const auto &[config, backend, listed] :
             {std::tuple(QString(), "sim:programmers=2", 2), {"programmers=3", "usb", 0}}) {
            QProcess process;
            start(process, {"list", "--programmer", backend}, config);
            QVERIFY(process.waitForFinished(20000) && process.exitCode() == 0);
            QCOMPARE(process.readAllStandardOutput().count("SIM0000"), listed);
        }
    }

    // An OpenSSL that refuses MD5 and SHA1 (only its base provider loaded) makes hash fail.
    void hashFailsWithoutDigests()
    {
        QVERIFY(writeFile("openssl.cnf", "openssl_conf = init\n[init]\nproviders = providers\n"
                                         "[providers]\nbase = base\n[base]\nactivate = 1\n"));
        qputenv("OPENSSL_CONF", QFile::encodeName(dir->filePath("openssl.cnf")));
        const auto restore = qScopeGuard([] { qunsetenv("OPENSSL_CONF"); });
        QVERIFY(
            run({"hash", "--blocks", "0"}, 1).err.contains("MD5 or SHA1 could not be computed"));
    }

    // A gang goes on past failing members.
    void gangGoesOnPastFailingMembers()
    {
        const QByteArray image = imageWithDirectory({directoryEntry('a')}, 3);
        const QString md5 = QCryptographicHash::hash(image, QCryptographicHash::Md5).toHex();
        QVERIFY(writeFile("image.bin", image));
        // Programmer 2 has no chip, 3 is unplugged while writing, erasing block 5 fails on 4; 1
        // reads two flipped bits back, which ECC corrects.
        const CliResult result = run({"auto-write", "image.bin", "--device", "all", "--report",
                                      "report.jsonl", "--log", "log.txt", "--progress=json"},
                                     1,
                                     "programmers=4;chip@2=none;unplug@3=60;erase-fail@4=5;"
                                     "flip@1=9:100:3,10:5000:7");
        QCOMPARE(result.out.count(QLatin1Char('\n')), 5); // A heading and a line per member.
        // Every member has its record, the image's MD5 only where it was written; a failure
        // always says why.
        const QByteArray report = readFile("report.jsonl");
        QCOMPARE(report.count("\"md5\":\"" + md5.toLatin1()), 2);
        QCOMPARE(report.count(R"("md5":"")"), 2);
        QCOMPARE(report.count(R"("result":"success")"), 2);
        QCOMPARE(report.count(R"("status":"no-chip")"), 1);
        QCOMPARE(report.count(R"("error":"")"), 2);
        QCOMPARE(report.count(R"("newlyBad":[5])"), 1);
        QCOMPARE(report.count(R"("eccCorrections":2)"), 1);
        QVERIFY(
            readFile("log.txt").contains("[SIM00002] Flash is not inserted to the programmer\n"));
        QVERIFY(result.err.contains(
            R"({"done":35,"phase":"program","programmer":"SIM00004","total":35})"));
    }

    // A signal aborts the command (exit status 128 + its number) and leaves the older file alone.
    void signalAbortsAndKeepsOlderFile()
    {
        QVERIFY(writeFile("read.bin", "older contents"));
        QProcess cli;
        cli.setReadChannel(QProcess::StandardError);
        // A slow link: the whole chip would take about a minute.
        start(cli, {"read", "--all", "read.bin"}, "storage=chip.bin;rate=2000000");
        QByteArray err;
        while (!err.contains("Reading whole Flash...") && cli.waitForReadyRead(20000))
            err += cli.readAllStandardError();
        // Only a live child is signalled: pid 0 would stand for the whole process group.
        QVERIFY(err.contains("Reading whole Flash..."));
        QCOMPARE(cli.state(), QProcess::Running);
        QVERIFY(cli.processId() > 0);
        QCOMPARE(::kill(pid_t(cli.processId()), SIGTERM), 0);
        QVERIFY(cli.waitForFinished(20000));
        QCOMPARE(cli.exitCode(), 128 + SIGTERM);
        QVERIFY(cli.readAllStandardError().contains("Operation aborted\n"));
        QCOMPARE(readFile("read.bin"), QByteArray("older contents"));
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList({"chip.bin", "read.bin"}));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
