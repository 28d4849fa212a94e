#include "support/enginefixture.h"
#include "support/simtestconfig.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace {

struct CliResult
{
    int exitCode = -1;
    QString out;
    QString err;
};

void start(QProcess &process, const QStringList &arguments, const QString &config)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NPX4_SIMULATOR"),
                       QString::fromUtf8(simTestConfig(config.toUtf8())));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(NPX4_CLI_PATH), arguments);
    QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));
}

// `input` goes to the program's standard input, a pipe.
CliResult runCli(const QStringList &arguments, const QString &config,
                 const QByteArray &input = QByteArray())
{
    QProcess process;
    CliResult result;
    start(process, arguments, config);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
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

QJsonObject jsonObject(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

// The digest of one of digestLines()' lines.
QString digestOf(const QString &line)
{
    static const QRegularExpression bold(QStringLiteral("<b>(.*)</b>"));
    return bold.match(line).captured(1);
}

// The tables of runs: a simulator configuration, the arguments, the exit status and a message.
void addRunColumns()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
}

void addRunRow(const char *name, const char *config, const QStringList &arguments, int exitCode,
               const char *message)
{
    QTest::newRow(name) << QString::fromLatin1(config) << arguments << exitCode
                        << QString::fromLatin1(message);
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString storageConfig;

    // Runs the program on the chip kept in `dir`; a failed expectation ends the test.
    CliResult run(const QStringList &arguments, int expectedExit, const QString &faults = QString(),
                  const QByteArray &input = QByteArray())
    {
        const QString config = faults.isEmpty() ? storageConfig : storageConfig + ';' + faults;
        const CliResult result = runCli(arguments, config, input);
        // stderr is a pipe here: whole lines only, and the window's markup removed.
        [&] {
            QVERIFY2(result.exitCode == expectedExit && !result.err.contains(QLatin1Char('\r')) &&
                         !result.err.contains(QLatin1String("<b>")),
                     qPrintable(arguments.join(QLatin1Char(' ')) + QStringLiteral(": ") +
                                QString::number(result.exitCode) + ' ' + result.err));
        }();
        return result;
    }

    // Starts the program, sends it `signalNumber` once stderr shows `waitFor`, checks that it
    // exits with 128 + the signal's number and returns its stderr.
    QByteArray interrupted(const QStringList &arguments, const QString &config,
                           const QByteArray &waitFor, int signalNumber, QProcess *process = nullptr)
    {
        QProcess own;
        QProcess &cli = process ? *process : own;
        cli.setReadChannel(QProcess::StandardError);
        start(cli, arguments, config);
        QByteArray err;
        while (!err.contains(waitFor) && cli.waitForReadyRead(20000))
            err += cli.readAllStandardError();
        [&] {
            QVERIFY2(err.contains(waitFor), err.constData());
            QCOMPARE(::kill(pid_t(cli.processId()), signalNumber), 0);
            QVERIFY(cli.waitForFinished(20000));
            err += cli.readAllStandardError();
            QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
            QCOMPARE(cli.exitCode(), 128 + signalNumber);
        }();
        return err;
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        storageConfig = QStringLiteral("storage=%1").arg(dir->filePath(QStringLiteral("chip.bin")));
    }

    void failures_data()
    {
        addRunColumns();
        // No simulated programmer is listed: a usage error must be found before any device is.
        const auto row = [](const char *name, const QStringList &arguments, const char *message) {
            addRunRow(name, "programmers=0", arguments, 2, message);
        };
        row("no command", {}, "No command given");
        row("unknown command", {"program"}, "Unknown command \"program\"");
        row("unknown option", {"info", "--fast"}, "Unknown option 'fast'");
        row("file missing", {"verify"}, "needs a FILE");
        row("surplus argument", {"erase", "now"}, "Unexpected argument \"now\"");
        row("input file absent", {"write", "/nonexistent/image.bin"}, "does not exist");
        row("output place absent", {"read", "/nonexistent/dir/image.bin"}, "Cannot write");
        row("device not a number", {"info", "--device", "x"}, "--device");
        row("json error", {"erase", "--fast", "--json"}, "Unknown option 'fast'");
        row("device for list", {"list", "--serial", "A"}, "\"list\" takes no --serial");
        row("device and serial", {"info", "--device", "0", "--serial", "A"}, "exclude each other");
        row("serial twice", {"info", "--serial", "A", "--serial", "A"}, "distinct");
        row("gang read", {"read", "f.bin", "--device", "all"}, "takes one programmer");
        row("progress format", {"info", "--progress=text"}, "--progress takes \"json\" only");
        row("two on stdout", {"read", "-", "--report", "-"}, "can use standard output");
        row("blocks for info", {"info", "--blocks", "1"}, "takes no --blocks");
        row("blocks and all", {"erase", "--blocks", "1", "--all"}, "exclude each other");
        row("physical writing", {"write", "f.bin", "--physical"}, "takes no --physical");
        row("pad without blocks", {"verify", "f.bin", "--pad"}, "--pad applies to write");
        row("range backwards", {"erase", "--blocks", "9...3"}, "\"9...3\" runs backwards");
        row("beyond chip", {"erase", "--blocks", "0-1024"},
            "block 1024 is beyond the last block 1023");
        row("not a number", {"erase", "--blocks", "1,x"}, "\"x\" is not a block number");
        row("negative", {"erase", "--blocks", "-5"}, "\"\" is not a block number");
        row("three-part range", {"erase", "--blocks", "1-2-3"}, "\"2-3\" is not a block number");
        row("empty item", {"erase", "--blocks", "1,,2"}, "empty item");
        row("overflowing number", {"erase", "--blocks", "99999999999"}, "is not a block number");
        addRunRow("no programmer", "programmers=0", {"info"}, 3,
                  "No programmer found: Specified device not connected");
        addRunRow("second programmer absent", "1", {"info", "--device", "1"}, 3,
                  "No programmer found");
        // The reason comes with a link in the window's markup; the console shows its text only.
        addRunRow("unsupported firmware", "firmware=2.0", {"info"}, 3,
                  "Please download new version of Velmora NPX4 Programmer from "
                  "https://velmora.example/download/npx4-prog-setup.exe.");
        addRunRow("no chip", "chip=none", {"hash", "--blocks", "0"}, 1,
                  "Flash is not inserted to the programmer\nFailed\n");
        addRunRow("erase fails", "erase-fail=5", {"erase", "--blocks", "4-6"}, 1, "Failed\n");
        addRunRow("blank chip has no image", "1", {"read", "out.bin"}, 1,
                  "Invalid or empty flash content");
        // A device is written as it is, never replaced by a file, and its error is told.
        addRunRow("device that is full", "1", {"read", "/dev/full", "--blocks", "0"}, 1,
                  "Failed to write data: No space left on device");
    }

    // Usage errors and failures exit with their own status and say why on stderr.
    void failures()
    {
        QFETCH(QString, config);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QVERIFY(QDir::setCurrent(dir->path()));
        const CliResult result = runCli(arguments, config);
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(result.err.contains(message), qPrintable(result.err));
        QVERIFY2(!result.err.contains(QLatin1Char('<')), qPrintable(result.err));
        if (arguments.contains(QLatin1String("--json"))) {
            const QJsonObject error = jsonObject(result.out);
            QVERIFY2(error.value("error").toString().contains(message), qPrintable(result.out));
            QCOMPARE(error.value("exitStatus").toInt(), exitCode);
        } else {
            QVERIFY(result.out.isEmpty());
        }
        // A read that failed leaves no file behind.
        QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("out.bin"))));
    }

    // An OpenSSL that refuses MD5 and SHA1 (here: only its base provider loaded) makes hash fail
    // instead of printing empty digests.
    void hashFailsWithoutDigests()
    {
        const QString config = dir->filePath(QStringLiteral("openssl.cnf"));
        QVERIFY(writeFile(config, "openssl_conf = init\n[init]\nproviders = providers\n"
                                  "[providers]\nbase = base\n[base]\nactivate = 1\n"));
        qputenv("OPENSSL_CONF", QFile::encodeName(config));
        const auto restore = qScopeGuard([] { qunsetenv("OPENSSL_CONF"); });
        const CliResult result = runCli({"hash", "--blocks", "0"}, QStringLiteral("1"));
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains("MD5 or SHA1 could not be computed"), qPrintable(result.err));
        QVERIFY(result.out.isEmpty());
    }

    void commandsShareOneChip()
    {
        const QString imagePath = dir->filePath(QStringLiteral("image.bin"));
        const QString readPath = dir->filePath(QStringLiteral("read.bin"));
        const QByteArray image = imageWithDirectory({directoryEntry('a')}, 7);
        QVERIFY(writeFile(imagePath, image));
        const QString imageBlocks = QStringLiteral("0...34");

        CliResult result = run({"info"}, 0);
        QCOMPARE(result.out,
                 QStringLiteral("Firmware: 1.5\nChip: Samsung K9F1G08U0x\nBad blocks: none\n"));
        QVERIFY(jsonObject(run({"info", "--json"}, 0).out).value("badBlocks").isArray());

        result = run({"auto-write", imagePath}, 0);
        QVERIFY(result.err.contains(QLatin1String("Auto-programming 35 Flash block(s): 0...34")));
        run({"verify", imagePath}, 0);

        // The read takes the image's extent from the chip's directory and saves just that.
        run({"read", readPath}, 0);
        QVERIFY(readFile(readPath) == image);

        QStringList digests;
        for (const QString &line : digestLines(image))
            digests << digestOf(line);
        result = run({"hash", "--blocks", imageBlocks}, 0);
        QCOMPARE(result.out, QStringLiteral("CRC32: %1\nMD5: %2\nSHA1: %3\n")
                                 .arg(digests[0], digests[1], digests[2]));
        // JSON digests are lowercase, as md5sum prints them.
        const QJsonObject hashes =
            jsonObject(run({"hash", "--json", "--blocks", imageBlocks}, 0).out);
        for (const int i : {0, 1, 2})
            QCOMPARE(hashes.value(QStringList{"crc32", "md5", "sha1"}.at(i)).toString(),
                     digests[i].toLower());

        // The chip changed after writing: verifying fails, and so does the blank check of a
        // written block.
        run({"erase", "--blocks", "20"}, 0);
        result = run({"verify", imagePath}, 1);
        QVERIFY(result.err.endsWith(QLatin1String("Failed\n")));
        run({"blank-check", "--blocks", "19-20"}, 1);
        run({"blank-check", "--blocks", "20, 40...50"}, 0);
        run({"write", imagePath, "--blocks", "20"}, 0);
        run({"verify", "-", "--no-ecc"}, 0, QString(), image);

        // An update rewrites the head and the changed chunk; the chip then holds the new image.
        const QByteArray changed = imageWithDirectory({directoryEntry('b')}, 8);
        QVERIFY(writeFile(imagePath, changed));
        run({"update", imagePath}, 0);
        run({"verify", imagePath, "--blocks", imageBlocks}, 0);
        run({"read", readPath, "--blocks", "30-34"}, 0);
        QVERIFY(readFile(readPath).mid(30 * 131072) == changed.mid(30 * 131072));

        run({"erase"}, 0);
        run({"blank-check"}, 0);
        result = run({"upgrade-firmware"}, 0);
        QVERIFY(result.err.endsWith(QLatin1String("Finished\n")));
    }

    void imageStaysInPlace_data()
    {
        addRunColumns();
        // The directory is written last: its Flash block is erased before anything else, so that a
        // block that fails to erase is replaced while no block above it has been written.
        addRunRow("directory block fails to erase", "erase-fail=2", {"auto-write", "IMAGE"}, 0,
                  "Block 2 marked as bad");
        addRunRow("next block fails to erase too", "bad=2;erase-fail=3", {"auto-write", "IMAGE"}, 0,
                  "Block 3 marked as bad");
        addRunRow("update, directory block fails to erase", "erase-fail=2", {"update", "IMAGE"}, 0,
                  "Block 2 marked as bad");
        // A directory block that erased early but wears out before the directory is written
        // cannot move any more without shifting the image.
        addRunRow("directory block wears out after the early erase", "wear=1",
                  {"auto-write", "IMAGE"}, 1,
                  "Block 2 had to move to another Flash block after blocks above it were written");
        // The unchanged chunk above the moved block moves too: it is written again.
        addRunRow("update moves a block below an unchanged chunk", "erase-fail=10",
                  {"update", "IMAGE"}, 0,
                  "Auto-programming 35 Flash block(s): 0...34\nBlock 10 marked as bad");
        addRunRow("whole chip with bad blocks", "bad=5,700",
                  {"auto-write", "IMAGE", "--all", "--pad"}, 0,
                  "2 image block(s) at the end have no good Flash block left (2 bad blocks): "
                  "1022...1023");
        // A pipe tells no size: it is read to its end.
        addRunRow("image from a pipe", "", {"auto-write", "/dev/stdin", "--blocks", "0...66"}, 0,
                  "Complete");
        addRunRow("blocks past the end of the file", "", {"write", "IMAGE", "--blocks", "60...70"},
                  2, "covers the blocks 0...66 only");
    }

    // Whatever goes wrong on the way, the chip reads back as the image, byte for byte, or the
    // command fails.
    void imageStaysInPlace()
    {
        QFETCH(QString, config);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const QString imagePath = dir->filePath(QStringLiteral("image.bin"));
        const QString readPath = dir->filePath(QStringLiteral("read.bin"));
        // An older image on the chip shares the head and its second chunk with the new one.
        QVERIFY(
            writeFile(imagePath, imageWithDirectory({directoryEntry('a'), directoryEntry('b')})));
        run({"auto-write", imagePath}, 0);
        const QByteArray image = imageWithDirectory({directoryEntry('c'), directoryEntry('b')});
        QVERIFY(writeFile(imagePath, image));

        arguments.replaceInStrings(QStringLiteral("IMAGE"), imagePath);
        const CliResult result = run(arguments, exitCode, config, image);
        QVERIFY2(result.err.contains(message), qPrintable(result.err));
        if (exitCode == 0) {
            run({"read", readPath, "--blocks", "0...66"}, 0, config);
            QVERIFY(readFile(readPath) == image);
        }
        if (arguments.contains(QStringLiteral("--all"))) {
            run({"verify", imagePath, "--all", "--pad"}, 0, config);
            const CliResult read = run({"read", readPath, "--all"}, 0, config);
            QVERIFY2(read.err.contains(QStringLiteral("Saved 1022 block(s)")),
                     qPrintable(read.err));
            QVERIFY(readFile(readPath) == image + QByteArray((1022 - 67) * 131072, char(0xFF)));
            // A physical dump: bad blocks in place, as erased bytes.
            const CliResult dump = run({"read", readPath, "--physical"}, 0, config);
            QVERIFY2(dump.err.contains(QStringLiteral(
                         "2 bad block(s) not read, erased bytes in their place: 5, 700")),
                     qPrintable(dump.err));
            const QByteArray physical = readFile(readPath);
            QCOMPARE(physical.size(), 1024 * 131072);
            QVERIFY(physical.mid(5 * 131072, 131072) == QByteArray(131072, char(0xFF)));
            QVERIFY(physical.mid(6 * 131072, 131072) == image.mid(5 * 131072, 131072));
        }
    }

    void listAndSerialSelection()
    {
        const QString config = QStringLiteral("programmers=3;bootloader@2=1;chip@3=ECDA109544");
        const CliResult list = runCli({"list", "--json"}, config);
        QCOMPARE(list.exitCode, 0);
        const QJsonArray programmers = jsonObject(list.out).value("programmers").toArray();
        QStringList seen;
        for (const QJsonValue &value : programmers) {
            const QJsonObject entry = value.toObject();
            seen << QStringLiteral("%1 %2 %3 %4")
                        .arg(entry.value("index").toInt())
                        .arg(entry.value("serial").toString(), entry.value("state").toString(),
                             entry.value("firmware").toString());
        }
        QCOMPARE(seen, QStringList({"0 SIM00001 free 1.5", "1 SIM00002 boot loader ",
                                    "2 SIM00003 free 1.5"}));
        // Listing changed nothing: the boot loader still takes the firmware on the next open.
        QVERIFY(runCli({"list"}, config).out.contains("boot loader"));

        const QJsonObject info =
            jsonObject(runCli({"info", "--json", "--serial", "SIM00003"}, config).out);
        QCOMPARE(info.value("serial").toString(), QStringLiteral("SIM00003"));
        QCOMPARE(info.value("chipId").toString(), QStringLiteral("ecda109544"));
        QCOMPARE(runCli({"info", "--serial", "SIM00009"}, config).exitCode, 3);
    }

    void gangGoesOnPastFailingMembers()
    {
        const QString imagePath = dir->filePath(QStringLiteral("image.bin"));
        const QString reportPath = dir->filePath(QStringLiteral("report.jsonl"));
        const QString logPath = dir->filePath(QStringLiteral("log.txt"));
        const QByteArray image = imageWithDirectory({directoryEntry('a')}, 3);
        QVERIFY(writeFile(imagePath, image));
        // Programmer 2 has no chip, 3 is unplugged in the middle of its writing, the erase of
        // block 5 fails on 4.
        const QString config =
            QStringLiteral("programmers=4;chip@2=none;unplug@3=60;erase-fail@4=5");
        const CliResult result = runCli({"auto-write", imagePath, "--device", "all", "--report",
                                         reportPath, "--log", logPath, "--progress=json"},
                                        config);
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.out.count(QLatin1Char('\n')), 5);

        // Every member has its record; a failure always says why.
        const QString md5 = digestOf(digestLines(image).at(1)).toLower();
        QStringList seen;
        for (const QByteArray &line : readFile(reportPath).trimmed().split('\n')) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            QCOMPARE(record.value("md5").toString(), md5);
            const QString serial = record.value("serial").toString();
            QVERIFY2(result.out.contains(serial), qPrintable(result.out));
            const auto blocks = [&](const char *key) {
                return QString::fromUtf8(
                    QJsonDocument(record.value(key).toArray()).toJson(QJsonDocument::Compact));
            };
            const QString why = record.value("error").toString().isEmpty() ? "-" : "why";
            seen << QStringList{serial, record.value("result").toString(), why, blocks("newlyBad"),
                                blocks("badBlocksAfter")}
                        .join(' ');
        }
        seen.sort();
        QCOMPARE(seen, QStringList({"SIM00001 success - [] []", "SIM00002 failed why [] []",
                                    "SIM00003 failed why [] []", "SIM00004 success - [5] [5]"}));
        QVERIFY(readFile(logPath).contains("[SIM00002] Flash is not inserted to the programmer\n"));
        QVERIFY2(result.err.contains(
                     R"({"done":35,"phase":"Auto-programming 35 Flash block(s): 0...34",)"
                     R"("programmer":"SIM00004","total":35})"),
                 qPrintable(result.err));
    }

    // Either signal aborts the command; the exit status tells which.
    void interruptAbortsAndKeepsOlderFile()
    {
        const QString readPath = dir->filePath(QStringLiteral("read.bin"));
        QVERIFY(writeFile(readPath, "older contents"));
        // A slow link: the whole chip would take about a minute.
        const QString slow = QStringLiteral(";rate=2000000");
        QByteArray err = interrupted({"read", "--all", readPath}, storageConfig + slow,
                                     "Reading whole Flash...", SIGINT);
        QVERIFY2(err.contains("Operation aborted\n"), err.constData());
        QCOMPARE(readFile(readPath), QByteArray("older contents"));
        // Nor is a temporary file left beside it.
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList({"chip.bin", "read.bin"}));

        // In gang mode the signal aborts every programmer.
        QProcess gang;
        err = interrupted({"hash", "--all", "--device", "all"},
                          QStringLiteral("programmers=2") + slow,
                          "] Computing hashes for whole Flash...", SIGTERM, &gang);
        QCOMPARE(QString::fromLatin1(gang.readAllStandardOutput()).count(QLatin1String("aborted")),
                 2);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
