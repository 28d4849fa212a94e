#include "support/enginefixture.h"
#include "support/simtestconfig.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
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

QProcessEnvironment simulator(const QString &config)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NPX4_SIMULATOR"),
                       QString::fromUtf8(simTestConfig(config.toUtf8())));
    return environment;
}

void start(QProcess &process, const QStringList &arguments, const QString &config)
{
    process.setProcessEnvironment(simulator(config));
    process.start(QStringLiteral(NPX4_CLI_PATH), arguments);
    QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));
}

CliResult runCli(const QStringList &arguments, const QString &config)
{
    QProcess process;
    CliResult result;
    start(process, arguments, config);
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

// The digest of one of digestLines()' lines.
QString digestOf(const QString &line)
{
    static const QRegularExpression bold(QStringLiteral("<b>(.*)</b>"));
    return bold.match(line).captured(1);
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void usageErrors_data();
    void usageErrors();
    void failures_data();
    void failures();
    void commandsShareOneChip();
    void interruptAbortsAndKeepsOlderFile();

private:
    // Runs the program on the chip kept in `dir`; a failed expectation ends the test.
    CliResult run(const QStringList &arguments, int expectedExit);

    std::unique_ptr<QTemporaryDir> dir;
    QString storageConfig;
};

void TestCli::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    storageConfig = QStringLiteral("storage=%1").arg(dir->filePath(QStringLiteral("chip.bin")));
}

CliResult TestCli::run(const QStringList &arguments, int expectedExit)
{
    const CliResult result = runCli(arguments, storageConfig);
    const QString context = arguments.join(QLatin1Char(' ')) + QStringLiteral(": ") + result.err;
    [&] { QCOMPARE(result.exitCode, expectedExit); }();
    if (result.exitCode != expectedExit)
        qWarning().noquote() << context;
    // stderr is a pipe here: whole lines only, and the window's markup removed.
    [&] { QVERIFY2(!result.err.contains(QLatin1Char('\r')), qPrintable(context)); }();
    [&] { QVERIFY2(!result.err.contains(QLatin1String("<b>")), qPrintable(context)); }();
    return result;
}

void TestCli::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    const auto row = [](const char *name, const QStringList &arguments, const char *message) {
        QTest::newRow(name) << arguments << QString::fromLatin1(message);
    };
    row("no command", {}, "No command given");
    row("unknown command", {"program"}, "Unknown command \"program\"");
    row("unknown option", {"info", "--fast"}, "Unknown option 'fast'");
    row("file missing", {"verify"}, "needs a FILE");
    row("surplus argument", {"erase", "now"}, "Unexpected argument \"now\"");
    row("input file absent", {"write", "/nonexistent/image.bin"}, "does not exist");
    row("output place absent", {"read", "/nonexistent/dir/image.bin"}, "Cannot write");
    row("device not a number", {"info", "--device", "x"}, "--device");
    row("device negative", {"info", "--device", "-1"}, "--device");
    row("json for erase", {"erase", "--json"}, "--json applies to info and hash only");
    row("blocks for info", {"info", "--blocks", "1"}, "takes no --blocks");
    row("blocks for update", {"update", "f.bin", "--all"}, "takes no --blocks");
    row("blocks and all", {"erase", "--blocks", "1", "--all"}, "exclude each other");
    row("range backwards", {"erase", "--blocks", "9...3"}, "\"9...3\" runs backwards");
    row("dash range backwards", {"erase", "--blocks", "9-3"}, "runs backwards");
    row("beyond chip", {"erase", "--blocks", "0-1024"}, "block 1024 is beyond the last block 1023");
    row("not a number", {"erase", "--blocks", "1,x"}, "\"x\" is not a block number");
    row("negative", {"erase", "--blocks", "-5"}, "\"\" is not a block number");
    row("open range", {"erase", "--blocks", "5..."}, "\"\" is not a block number");
    row("three-part range", {"erase", "--blocks", "1-2-3"}, "\"2-3\" is not a block number");
    row("empty item", {"erase", "--blocks", "1,,2"}, "empty item");
    row("empty list", {"erase", "--blocks", ""}, "empty item");
    row("overflowing number", {"erase", "--blocks", "99999999999"}, "is not a block number");
}

void TestCli::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    // No simulated programmer is listed: a usage error must be found before any device is.
    const CliResult result = runCli(arguments, QStringLiteral("programmers=0"));
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QVERIFY(result.out.isEmpty());
}

void TestCli::failures_data()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("no programmer") << "programmers=0" << QStringList{"info"} << 3
                                   << "No programmer found: Specified device not connected";
    QTest::newRow("second programmer absent")
        << "1" << QStringList{"info", "--device", "1"} << 3 << "No programmer found";
    // The reason comes with a link in the window's markup; the console shows its text only.
    QTest::newRow("unsupported firmware")
        << "firmware=2.0" << QStringList{"info"} << 3
        << "Please download new version of Velmora NPX4 Programmer from "
           "https://velmora.example/download/npx4-prog-setup.exe.";
    QTest::newRow("no chip") << "chip=none" << QStringList{"hash", "--blocks", "0"} << 1
                             << "Flash is not inserted to the programmer\nFailed\n";
    QTest::newRow("erase fails") << "erase-fail=5" << QStringList{"erase", "--blocks", "4-6"} << 1
                                 << "Failed\n";
    QTest::newRow("blank chip has no image")
        << "1" << QStringList{"read", "out.bin"} << 1 << "Invalid or empty flash content";
}

void TestCli::failures()
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
    QVERIFY(result.out.isEmpty());
    // A read that failed leaves no file behind.
    QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("out.bin"))));
}

void TestCli::commandsShareOneChip()
{
    const QString imagePath = dir->filePath(QStringLiteral("image.bin"));
    const QString readPath = dir->filePath(QStringLiteral("read.bin"));
    const QByteArray image = imageWithDirectory({directoryEntry('a')}, 7);
    QVERIFY(writeFile(imagePath, image));
    const QString imageBlocks = QStringLiteral("0...34");

    CliResult result = run({"info"}, 0);
    QCOMPARE(result.out,
             QStringLiteral("Firmware: 1.5\nChip: Samsung K9F1G08U0x\nBad blocks: none\n"));
    result = run({"info", "--json"}, 0);
    const QJsonObject info = QJsonDocument::fromJson(result.out.toUtf8()).object();
    QCOMPARE(info.value("chip").toString(), QStringLiteral("Samsung K9F1G08U0x"));
    QCOMPARE(info.value("firmware").toString(), QStringLiteral("1.5"));
    QVERIFY(info.value("badBlocks").isArray());

    result = run({"auto-write", imagePath}, 0);
    QVERIFY(result.err.contains(QLatin1String("Auto-programming 35 Flash block(s): 0...34")));
    run({"verify", imagePath}, 0);

    // The read takes the image's extent from the chip's directory and saves just that.
    run({"read", readPath}, 0);
    QVERIFY(readFile(readPath) == image);

    result = run({"hash", "--json", "--blocks", imageBlocks}, 0);
    const QJsonObject hashes = QJsonDocument::fromJson(result.out.toUtf8()).object();
    const QStringList expected = digestLines(image);
    QCOMPARE(hashes.value("crc32").toString(), digestOf(expected.at(0)));
    QCOMPARE(hashes.value("md5").toString(), digestOf(expected.at(1)));
    QCOMPARE(hashes.value("sha1").toString(), digestOf(expected.at(2)));
    result = run({"hash", "--blocks", imageBlocks}, 0);
    QCOMPARE(result.out, QStringLiteral("CRC32: %1\nMD5: %2\nSHA1: %3\n")
                             .arg(digestOf(expected.at(0)), digestOf(expected.at(1)),
                                  digestOf(expected.at(2))));

    // The chip changed after writing: verifying fails, and so does the blank check of a
    // written block.
    run({"erase", "--blocks", "20"}, 0);
    result = run({"verify", imagePath}, 1);
    QVERIFY(result.err.endsWith(QLatin1String("Failed\n")));
    run({"blank-check", "--blocks", "19-20"}, 1);
    run({"blank-check", "--blocks", "20, 40...50"}, 0);
    run({"write", imagePath, "--blocks", "20"}, 0);
    run({"verify", imagePath, "--no-ecc"}, 0);

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

void TestCli::interruptAbortsAndKeepsOlderFile()
{
    const QString readPath = dir->filePath(QStringLiteral("read.bin"));
    QVERIFY(writeFile(readPath, "older contents"));
    // A slow link: the whole chip would take about a minute.
    QProcess process;
    process.setReadChannel(QProcess::StandardError);
    start(process, {"read", "--all", readPath}, storageConfig + QStringLiteral(";rate=2000000"));
    QByteArray err;
    while (!err.contains("Reading whole Flash...") && process.waitForReadyRead(20000))
        err += process.readAllStandardError();
    QVERIFY2(err.contains("Reading whole Flash..."), err.constData());
    QCOMPARE(::kill(pid_t(process.processId()), SIGINT), 0);
    QVERIFY(process.waitForFinished(20000));
    err += process.readAllStandardError();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    QVERIFY2(err.contains("Operation aborted\n"), err.constData());
    QCOMPARE(readFile(readPath), QByteArray("older contents"));
    // Nor is a temporary file left beside it.
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden),
             QStringList({"chip.bin", "read.bin"}));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
