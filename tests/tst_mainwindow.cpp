#include "app/settingskeys.h"
#include "app/startup.h"
#include "app/version.h"
#include "dialogs/badblkeditor.h"
#include "dialogs/exitdialog.h"
#include "engine/aprogrammer.h"
#include "sim/nandchip.h"
#include "sim/simdriver.h"
#include "support/enginefixture.h"
#include "support/windowfixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QMap>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTime>
#include <QTimer>
#include <QToolButton>
#include <QTranslator>
#include <sys/stat.h>

namespace {

// What the user sees, a letter per item, upper case when usable or shown: operation buttons,
// Load, Save, Abort, Close, ECC box, the whole button column.
QString stateOf(WindowRig &rig)
{
    const auto usable = [&](const char *name) { return rig.widget<QWidget>(name)->isEnabled(); };
    const auto shown = [&](const char *name) { return !rig.widget<QWidget>(name)->isHidden(); };
    const bool flags[] = {usable("wButtons"),   usable("pbLoad"), usable("pbSaveAs"),
                          shown("pbAbort"),     shown("pbClose"), usable("chbUseEcc"),
                          usable("wAllButtons")};
    QString state = "olsacew";
    for (int i = 0; i < state.size(); ++i)
        state[i] = flags[i] ? state[i].toUpper() : state[i];
    return state;
}

// How `word` of the last log line is shown: "bold" and its colour, if any.
QString styleOf(WindowRig &rig, const QString &word)
{
    const QTextBlock block = rig.widget<QTextBrowser>("tbLog")->document()->lastBlock();
    QTextCursor cursor(block);
    cursor.setPosition(block.position() + int(block.text().indexOf(word)) + 1);
    const QTextCharFormat format = cursor.charFormat();
    return QString(format.fontWeight() == QFont::Bold ? "bold" : "") +
           (format.hasProperty(QTextFormat::ForegroundBrush) ? format.foreground().color().name()
                                                             : "");
}

// Stores the named range list "Boot", blocks 0 to 3: entry 2 of every block menu.
void storeBootRange()
{
    BlockRangeList boot("Boot");
    boot.addRange(BlockRange(0, 3));
    QSettings().setValue(SettingsKeys::Blocks, QVariantList({QVariant::fromValue(boot)}));
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { setUpWidgetTests(); }
    void init() { clearTestSettings(); }
    void cleanup() { cancelModalAnswers(); }

    void startWithoutProgrammer()
    {
        qputenv("NPX4_SIMULATOR", "rate=8000000");
        WindowRig rig("programmers=0");
        qunsetenv("NPX4_SIMULATOR");
        QVERIFY(!rig.window->windowIcon().availableSizes().isEmpty());
        const QStringList log = rig.log();
        QCOMPARE(log.mid(0, 2), QStringList({"", "Velmora NPX4 Programmer v. 1.0.1120"}));
        QCOMPARE(log.at(2), QString("Most recent version can be downloaded from %1.\u2028\u2028")
                                .arg(DownloadAddress));
        QVERIFY(log.at(3).contains("simulated programmer (NPX4_SIMULATOR=rate=8000000)"));
        QCOMPARE(stateOf(rig), "olsaCeW");
        QVERIFY(rig.waitForLine("ERROR: Failed to open programmer device. Is it connected?"));
        QTest::qWait(600);
        QCOMPARE(rig.countLines("ERROR:"), 1);
        QCOMPARE(stateOf(rig), "olsaCeW");
    }

    void connectionAndFirmware_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QMessageBox::StandardButton>("upgrade");
        QTest::addColumn<QString>("state");
        QTest::newRow("1.5") << QByteArray("1") << QMessageBox::NoButton << "OLSaCEW";
        QTest::newRow("1.3, refused") << QByteArray("firmware=1.3") << QMessageBox::No << "OLSaCeW";
        QTest::newRow("1.3, upgraded")
            << QByteArray("firmware=1.3") << QMessageBox::Yes << "OLSaCeW";
    }
    void connectionAndFirmware()
    {
        QFETCH(QByteArray, config);
        QFETCH(QMessageBox::StandardButton, upgrade);
        QString question;
        // The window runs in an event loop of its own, as in the program: QTest's waits would
        // run deferred deletions that such a loop holds back while the question is open.
        QEventLoop program;
        if (upgrade != QMessageBox::NoButton)
            answerModal<QMessageBox>([&](QMessageBox *box) {
                question = box->text().section('\n', 1, 1);
                // Left open for a while in an event loop of its own, as a user would: nothing
                // may be opened again meanwhile.
                QEventLoop userThinks;
                QTimer::singleShot(1200, &userThinks, &QEventLoop::quit);
                userThinks.exec();
                box->button(upgrade)->click();
                program.quit();
            });
        WindowRig rig(config);
        QStringList states;
        QObject::connect(rig.engine, &AProgrammer::operationBegin, rig.window.get(),
                         [&] { states.append(stateOf(rig)); });
        if (upgrade != QMessageBox::NoButton)
            program.exec();
        QVERIFY(rig.waitConnected());
        QTEST(stateOf(rig), "state");
        QCOMPARE(rig.widget<QCheckBox>("chbUseEcc")->isChecked(), config == "1");
        QTRY_COMPARE(question, upgrade ? "Current version is 1.3." : "");
        if (upgrade == QMessageBox::Yes) {
            // Runs in the window's thread: nothing in the button column is usable meanwhile.
            QVERIFY(rig.waitForLine(": Finished"));
            QCOMPARE(states, QStringList("olsaCew"));
            const QProgressBar *bar = rig.widget<QProgressBar>("progressBar");
            QCOMPARE(qMakePair(bar->value(), bar->maximum()), qMakePair(12288, 12288));
        }
        QCOMPARE(rig.countLines("Upgrading device firmware..."), int(upgrade == QMessageBox::Yes));
        QCOMPARE(rig.countLines("Failed to open"), 0);
        QCOMPARE(rig.countLines("successfully opened"), 1);
    }

    void readOnlyHidesWritingButtons()
    {
        WindowRig rig("programmers=0");
        rig.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
        const QStringList writing = {"pbAutoProgram", "pbUpdate", "pbErase", "pbProgram"};
        for (const bool readOnly : {true, false, true}) {
            for (QToolButton *button : rig.window->findChildren<QToolButton *>())
                QCOMPARE(button->isHidden(), readOnly && writing.contains(button->objectName()));
            QTest::keyClick(rig.window.get(), Qt::Key_R, Qt::ControlModifier);
            QTRY_COMPARE(rig.widget<QCheckBox>("chbReadOnly")->isChecked(), !readOnly);
        }
        // Ctrl+Q closes as the window's close decoration does: after the question.
        bool asked = false;
        answerModal<ExitDialog>([&](ExitDialog *) { asked = true; });
        QTest::keyClick(rig.window.get(), Qt::Key_Q, Qt::ControlModifier);
        QTRY_VERIFY(asked);
        QVERIFY(rig.window->isVisible());
    }

    void busyStates()
    {
        WindowRig rig;
        QVERIFY(rig.waitConnected());
        // A block takes about 60 ms on this link: the abort comes long before the end.
        rig.set.driver().device(0).setRate(2000000);
        QStringList states;
        const auto check = [&](const std::function<void()> &atBegin) {
            const auto connection = QObject::connect(rig.engine, &AProgrammer::operationBegin,
                                                     rig.window.get(), atBegin);
            const int ended = rig.countLines("Operation aborted");
            rig.widget<QToolButton>("pbCheck")->click();
            QVERIFY(rig.waitForLine("Operation aborted", ended + 1));
            QObject::disconnect(connection);
            states.append(stateOf(rig));
        };
        check([&] {
            states.append(stateOf(rig));
            rig.widget<QPushButton>("pbAbort")->click();
        });
        // Lost while an operation runs: the buttons go at once; the end of the operation,
        // arriving later, brings them back, for the most recent toggle wins.
        check([&] {
            emit rig.engine->deviceDisconnected();
            states.append(stateOf(rig));
            rig.engine->abort();
        });
        // Closing the window says that an operation runs, and aborts it.
        bool warned = false;
        check([&] {
            answerModal<ExitDialog>([&](ExitDialog *dialog) {
                warned = !dialog->findChild<QLabel *>("lbOperationRunning")->isHidden();
                dialog->accept();
            });
            rig.window->close();
        });
        QVERIFY(warned);
        QCOMPARE(states, QStringList({"olsAceW", "OLSaCEW", "olsaCeW", "OLSaCeW", "OLSaCeW"}));
    }

    // A pipe is not opened: that would wait for a writer and freeze the window.
    void pipeIsRefused()
    {
        QTemporaryDir dir;
        const QString pipe = dir.filePath("pipe");
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        WindowRig rig("programmers=0");
        QString message;
        answerModal<QMessageBox>([&](QMessageBox *box) {
            message = box->text();
            box->accept();
        });
        QVERIFY(dropUrls(rig.window.get(), {QUrl::fromLocalFile(pipe)}));
        QCOMPARE(message, "Failed to open file: it is not a regular file");
    }

    void logLines()
    {
        WindowRig rig("programmers=0");
        const auto last = [&] { return rig.log().last(); };
        emit rig.engine->operationBegin("Job <b>one</b> %1");
        QVERIFY(QTime::fromString(last().left(8)).isValid());
        QCOMPARE(last().mid(8), ": Job one %1");
        QCOMPARE(styleOf(rig, "Job") + ' ' + styleOf(rig, "one"), "#008000 bold#008000");
        emit rig.engine->info("Plain <b>bold</b>");
        QCOMPARE(styleOf(rig, "Plain") + ' ' + styleOf(rig, "bold"), " bold");
        emit rig.engine->error("Broken");
        QCOMPARE(last().mid(8), ": ERROR: Broken");
        QCOMPARE(styleOf(rig, "Broken"), "#ff0000");
        emit rig.engine->operationFinished("Done");
        QCOMPARE(styleOf(rig, "Done"), "bold");
        // On a dark background the colours keep their hue and get light enough to read.
        auto *view = rig.widget<QTextBrowser>("tbLog");
        QPalette dark = view->palette();
        dark.setColor(QPalette::Base, Qt::black);
        view->setPalette(dark);
        emit rig.engine->operationBegin("Dark");
        QCOMPARE(styleOf(rig, "Dark"), "#66ff66");

        // The view follows new lines only while it shows the end.
        for (int line = 0; line < 100; ++line)
            emit rig.engine->info(QString::number(line));
        QScrollBar *bar = rig.widget<QTextBrowser>("tbLog")->verticalScrollBar();
        QVERIFY(bar->isVisible() && bar->value() == bar->maximum());
        bar->setValue(0);
        emit rig.engine->info("not followed");
        QCOMPARE(bar->value(), 0);
        bar->setValue(bar->maximum());
        const int before = bar->maximum();
        emit rig.engine->info("followed");
        QVERIFY(bar->maximum() > before && bar->value() == bar->maximum());
    }

    void settingsRoundTrip()
    {
        QTemporaryDir dir;
        const QString file = writeImageFile(dir.path(), "image.bin", 1);
        BlockRangeList boot("Boot"), unnamed, empty("Empty"), beyond("Beyond");
        boot.addRange(BlockRange(0, 3));
        unnamed.addRange(BlockRange(4, 5));
        beyond.ranges.append(BlockRange(0, 1024));
        QSettings().setValue(SettingsKeys::Blocks,
                             QVariantList({QVariant::fromValue(unnamed), QVariant::fromValue(boot),
                                           QVariant::fromValue(empty), QVariant("text"),
                                           QVariant::fromValue(beyond)}));
        {
            WindowRig rig("programmers=0");
            // Wide enough that a digest line does not wrap.
            QVERIFY(rig.window->width() >= 506 && rig.window->height() == 442);
            emit rig.engine->info("SHA1: <b>" + QString(40, 'D') + "</b>");
            const QTextBlock digest = rig.widget<QTextBrowser>("tbLog")->document()->lastBlock();
            QTRY_COMPARE(digest.layout()->lineCount(), 1);
            QVERIFY(rig.widget<QCheckBox>("chbReadOnly")->isChecked());
            rig.window->resize(600, 500);
            rig.widget<QCheckBox>("chbReadOnly")->setChecked(false);
        }
        QSettings settings;
        QCOMPARE(settings.value(SettingsKeys::WindowSize).toSize(), QSize(600, 500));
        QCOMPARE(settings.value(SettingsKeys::ReadOnly), QVariant(false));
        const QVariantList blocks = settings.value(SettingsKeys::Blocks).toList();
        QCOMPARE(blocks.size(), 1);
        QCOMPARE(blocks.first().value<BlockRangeList>(), boot);

        WindowRig again("programmers=0");
        again.window->loadFileAtStart(QDir::current().relativeFilePath(file));
        QCOMPARE(again.window->size(), QSize(600, 500));
        QVERIFY(!again.widget<QWidget>("pbErase")->isHidden());
        QCOMPARE(again.menuEntry("pbRead", 2)->text(), "Boot");
        QVERIFY(again.waitForLine("Opened file \"" + file + '"'));
    }

    void closeAsksUnlessTurnedOff()
    {
        WindowRig rig("programmers=0");
        int asked = 0;
        answerModal<ExitDialog>([&](ExitDialog *dialog) {
            ++asked;
            // Nothing runs and nothing is unsaved: no warning.
            QVERIFY(dialog->findChild<QLabel *>("lbOperationRunning")->isHidden());
            QVERIFY(dialog->findChild<QLabel *>("lbUnsavedBuffer")->isHidden());
            dialog->setAskOnExit(false);
            dialog->accept();
        });
        QVERIFY(rig.window->close());
        QCOMPARE(QSettings().value(SettingsKeys::AskOnExit), QVariant(false));
        rig.window->show();
        answerModal<ExitDialog>([&](ExitDialog *) { ++asked; });
        QVERIFY(rig.window->close());
        QCOMPARE(asked, 1);
    }

    void chipInfoEditsMarkBlocksBad_data()
    {
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<bool>("image");
        QTest::addColumn<QList<int>>("edited");
        QTest::addColumn<QMessageBox::StandardButton>("reply");
        QTest::addColumn<QString>("question");
        QTest::newRow("added, confirmed")
            << false << false << QList<int>{5, 9, 700} << QMessageBox::Yes
            << "Block 8 and every later block then move";
        QTest::newRow("added inside the image, refused")
            << false << true << QList<int>{5, 9, 700} << QMessageBox::No
            << "The image blocks 8...34 of the image in the buffer then move";
        QTest::newRow("added past the image")
            << false << true << QList<int>{5, 40, 700} << QMessageBox::No << "never used again.";
        QTest::newRow("removed") << false << false << QList<int>{5} << QMessageBox::Ok
                                 << "Removing a block from the list does not make it good again";
        QTest::newRow("read only")
            << true << false << QList<int>{5, 9, 700} << QMessageBox::Yes << QString();
    }
    void chipInfoEditsMarkBlocksBad()
    {
        QFETCH(bool, readOnly);
        QFETCH(bool, image);
        QFETCH(QList<int>, edited);
        QFETCH(QMessageBox::StandardButton, reply);
        QFETCH(QString, question);
        BadBlkEditor editor;
        WindowRig rig("bad=5,700");
        QVERIFY(rig.waitConnected());
        rig.widget<QCheckBox>("chbReadOnly")->setChecked(readOnly);
        if (image)
            QVERIFY(loadImage(*rig.engine, imageWithDirectory({directoryEntry('a')})));
        QStringList shown;
        bool editable = false;
        answerModal<BadBlkEditor>([&](BadBlkEditor *dialog) {
            shown.append(dialog->badBlockList() == QList<int>({5, 700}) ? "5,700" : "other");
            editable = dialog->findChild<QPushButton *>("pbAdd")->isEnabled();
            dialog->setBadBlockList(edited);
            dialog->accept();
        });
        // Asked or not, the question is answered, so that a wrong one never waits.
        answerModal<QMessageBox>([&](QMessageBox *box) {
            shown.append(box->text());
            box->button(reply)->click();
        });
        rig.widget<QToolButton>("pbInfo")->click();
        QVERIFY(rig.waitForLine(": Complete"));
        QTRY_VERIFY(!QApplication::activeModalWidget());
        QCOMPARE(editable, !readOnly);
        QCOMPARE(shown.size(), readOnly ? 1 : 2);
        QVERIFY2(readOnly || shown.last().contains(question), qPrintable(shown.last()));
        const bool marked = !readOnly && reply == QMessageBox::Yes;
        QVERIFY(!marked || rig.waitForLine(": Complete", 2));
        // No request is left pending or running: one filed after a refusal would mark the block.
        QVERIFY(rig.engine->isReady());
        QCOMPARE(rig.countLines("Marking 1 Flash block(s) as bad: 9"), int(marked));
        QCOMPARE(qMakePair(rig.set.chip(0).isBad(9), rig.set.chip(0).isBad(700)),
                 qMakePair(marked, true));
    }

    void wholeEraseAsks_data()
    {
        QTest::addColumn<int>("entry"); // of the Erase menu; -1 the button itself
        QTest::addColumn<QMessageBox::StandardButton>("reply");
        QTest::addColumn<QString>("erased");
        QTest::newRow("button, refused") << -1 << QMessageBox::No << QString();
        QTest::newRow("button, confirmed") << -1 << QMessageBox::Yes << "134.22 MB in ";
        QTest::newRow("whole flash entry, refused") << 0 << QMessageBox::No << QString();
        QTest::newRow("chosen blocks, not asked") << 2 << QMessageBox::NoButton << "524.29 kB in ";
    }
    void wholeEraseAsks()
    {
        QFETCH(int, entry);
        QFETCH(QMessageBox::StandardButton, reply);
        QFETCH(QString, erased);
        storeBootRange();
        WindowRig rig;
        QVERIFY(rig.waitConnected());
        QStringList asked;
        answerModal<QMessageBox>([&](QMessageBox *box) {
            asked.append(box->text().section('\n', 0, 0));
            box->button(reply)->click();
        });
        if (entry < 0)
            rig.widget<QToolButton>("pbErase")->click();
        else
            rig.menuEntry("pbErase", entry)->trigger();
        QCOMPARE(asked, QStringList(reply ? 1 : 0, "Erase the whole Flash?"));
        if (erased.isEmpty()) {
            QCOMPARE(rig.countLines("Erasing"), 0);
            return;
        }
        // The end line is followed by the amount, the time and the average rate.
        QVERIFY(rig.waitForLine(": Complete"));
        QVERIFY2(rig.log().last().contains(erased), qPrintable(rig.log().last()));
        const QProgressBar *bar = rig.widget<QProgressBar>("progressBar");
        const int blocks = entry < 0 ? 1024 : 4;
        QCOMPARE(qMakePair(bar->value(), bar->maximum()), qMakePair(blocks, blocks));
    }

    void unsavedReadIsProtected()
    {
        storeBootRange();
        QSettings().setValue(SettingsKeys::AskOnExit, false);
        QTemporaryDir dir;
        const QUrl file = QUrl::fromLocalFile(writeImageFile(dir.path(), "image.bin", 1));
        WindowRig rig;
        QVERIFY(rig.waitConnected());
        QStringList asked;
        const auto answer = [&asked](QMessageBox::StandardButton reply) {
            answerModal<QMessageBox>([&asked, reply](QMessageBox *box) {
                asked.append(box->windowTitle());
                box->button(reply)->click();
            });
        };
        rig.menuEntry("pbRead", 2)->trigger(); // nothing to lose yet
        QVERIFY(rig.waitForLine(": Complete"));

        // Refused: nothing is read or loaded, and the window stays open, though it was told not
        // to ask.
        answer(QMessageBox::No);
        rig.widget<QToolButton>("pbRead")->click();
        answer(QMessageBox::No);
        QVERIFY(dropUrls(rig.window.get(), {file}));
        bool warned = false;
        answerModal<ExitDialog>([&](ExitDialog *dialog) {
            warned = dialog->findChild<QLabel *>("lbUnsavedBuffer")->isVisible();
        });
        QVERIFY(!rig.window->close());
        QVERIFY(warned);
        QCOMPARE(asked, QStringList(2, "Unsaved buffer"));
        QCOMPARE(rig.countLines("Reading"), 1);
        QCOMPARE(rig.countLines("Opened file"), 0);

        // A loaded file replaces the data read: reading asks no more.
        answer(QMessageBox::Yes);
        QVERIFY(dropUrls(rig.window.get(), {file}));
        QCOMPARE(rig.countLines("Opened file"), 1);
        rig.widget<QToolButton>("pbRead")->click();
        QVERIFY(rig.waitForLine(": Failed"));
        QCOMPARE(asked.size(), 3);
        // The chip is blank: the line after the error says how to go on.
        const QStringList log = rig.log();
        const qsizetype error = log.indexOf(QRegularExpression(".*Invalid or empty flash content"));
        QVERIFY(log.value(error + 1).contains("Block 2 of the Flash holds no image directory"));
    }

    void mnemonicsAreUnique_data()
    {
        QTest::addColumn<QString>("language");
        QTest::newRow("English") << QString();
        QTest::newRow("German") << "de";
    }
    void mnemonicsAreUnique()
    {
        QFETCH(QString, language);
        QTranslator translator;
        if (!language.isEmpty()) {
            QVERIFY(loadProgramTranslation(translator, language,
                                           QCoreApplication::applicationDirPath() + "/.."));
            QCoreApplication::installTranslator(&translator);
        }
        WindowRig rig("programmers=0");
        QCoreApplication::removeTranslator(&translator);
        QMap<QString, QString> owners;
        for (const QAbstractButton *button : rig.window->findChildren<QAbstractButton *>()) {
            const QString key = QKeySequence::mnemonic(button->text()).toString();
            QVERIFY2(key.isEmpty() || !owners.contains(key),
                     qPrintable(key + ": " + owners.value(key) + ", " + button->text()));
            owners.insert(key, button->text());
        }
        QCOMPARE(owners.size(), 15);
    }

    void commandLineWithoutWindow_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("platform");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        // No display can be reached: a program that contacted one for help or its version would
        // end with an error.
        QTest::newRow("help") << QStringList("--help") << QByteArray("xcb") << 0 << "Usage:";
        QTest::newRow("version") << QStringList("--version") << QByteArray("xcb") << 0
                                 << "NPX4 Programmer 1.0.1120";
        QTest::newRow("two files") << QStringList({"a.bin", "b.bin"}) << QByteArray("offscreen")
                                   << 1 << "Only one file can be loaded";
    }
    void commandLineWithoutWindow()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, platform);
        QFETCH(QString, output);
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", platform);
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        program.setProcessEnvironment(environment);
        program.start(QCoreApplication::applicationDirPath() + "/../npx4-prog", arguments);
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QTEST(program.exitCode(), "exitCode");
        const QString printed = program.readAllStandardOutput() + program.readAllStandardError();
        QVERIFY2(printed.contains(output), qPrintable(printed));
    }

    void programTranslationIsFound()
    {
        const QString programDir = QCoreApplication::applicationDirPath() + "/..";
        const QString built = QFileInfo(programDir + "/npx4-prog_de.qm").canonicalFilePath();
        QVERIFY2(!built.isEmpty(), "npx4-prog_de.qm is built with npx4-prog");
        QTemporaryDir elsewhere;
        const QString home = QDir::currentPath();
        QDir::setCurrent(elsewhere.path());
        QTranslator fromProgramDir, fromWorkingDir, none;
        QVERIFY(loadProgramTranslation(fromProgramDir, "de_DE", programDir));
        QCOMPARE(QFileInfo(fromProgramDir.filePath()).canonicalFilePath(), built);
        QCOMPARE(fromProgramDir.translate("MainDialog", "&Read"), "L&esen");
        QVERIFY(!loadProgramTranslation(none, "fr_FR", programDir));
        QVERIFY(QFile::copy(built, "npx4-prog_de.qm"));
        QVERIFY(loadProgramTranslation(fromWorkingDir, "de_DE", programDir));
        QCOMPARE(QFileInfo(fromWorkingDir.filePath()).canonicalFilePath(),
                 QFileInfo("npx4-prog_de.qm").canonicalFilePath());
        QDir::setCurrent(home);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
