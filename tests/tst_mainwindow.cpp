#include "app/settingskeys.h"
#include "app/startup.h"
#include "app/version.h"
#include "dialogs/badblkeditor.h"
#include "dialogs/exitdialog.h"
#include "engine/aprogrammer.h"
#include "sim/nandchip.h"
#include "sim/simdriver.h"
#include "support/windowfixture.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTime>
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
        QCOMPARE(rig.window->windowTitle(), "Velmora NPX4 Programmer");
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
        if (upgrade != QMessageBox::NoButton)
            answerModal<QMessageBox>([&](QMessageBox *box) {
                question = box->text().section('\n', 1, 1);
                box->button(upgrade)->click();
            });
        WindowRig rig(config);
        QStringList states;
        QObject::connect(rig.engine, &AProgrammer::operationBegin, rig.window.get(),
                         [&] { states.append(stateOf(rig)); });
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
        QString question;
        check([&] {
            answerModal<ExitDialog>([&](ExitDialog *dialog) {
                question = dialog->findChild<QLabel *>("label")->text();
                dialog->accept();
            });
            rig.window->close();
        });
        QCOMPARE(question,
                 "An operation is running: closing aborts it.\nAre you sure want to close?");
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
            QCOMPARE(rig.window->size(), QSize(506, 442));
            QVERIFY(rig.widget<QCheckBox>("chbReadOnly")->isChecked());
            rig.window->resize(600, 500);
            rig.widget<QCheckBox>("chbReadOnly")->setChecked(false);
            QVERIFY(dropUrls(rig.window.get(), {QUrl::fromLocalFile(file)}));
        }
        QSettings settings;
        QCOMPARE(settings.value(SettingsKeys::WindowSize).toSize(), QSize(600, 500));
        QCOMPARE(settings.value(SettingsKeys::RecentFiles).toStringList(), QStringList(file));
        QCOMPARE(settings.value(SettingsKeys::ReadOnly), QVariant(false));
        const QVariantList blocks = settings.value(SettingsKeys::Blocks).toList();
        QCOMPARE(blocks.size(), 1);
        QCOMPARE(blocks.first().value<BlockRangeList>(), boot);
        // Kept in the stream form of the type, under its name ("B" is escaped in the file).
        QFile store(settings.fileName());
        QVERIFY(store.open(QIODevice::ReadOnly) && store.readAll().contains("lockRangeList"));

        WindowRig again("programmers=0");
        QCOMPARE(again.window->size(), QSize(600, 500));
        QVERIFY(!again.widget<QWidget>("pbErase")->isHidden());
        QCOMPARE(again.menuEntry("pbLoad", 0)->data(), QVariant(file));
        QCOMPARE(again.menuEntry("pbRead", 2)->text(), "Boot");
    }

    void closeAsksUnlessTurnedOff()
    {
        WindowRig rig("programmers=0");
        int asked = 0;
        answerModal<ExitDialog>([&](ExitDialog *dialog) {
            ++asked;
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
        QTest::addColumn<QList<int>>("edited");
        QTest::addColumn<QMessageBox::StandardButton>("reply");
        QTest::newRow("added, confirmed") << QList<int>{5, 9, 700} << QMessageBox::Yes;
        QTest::newRow("added, refused") << QList<int>{5, 9, 700} << QMessageBox::No;
        QTest::newRow("removed") << QList<int>{5} << QMessageBox::Ok;
    }
    void chipInfoEditsMarkBlocksBad()
    {
        QFETCH(QList<int>, edited);
        QFETCH(QMessageBox::StandardButton, reply);
        BadBlkEditor editor;
        WindowRig rig("bad=5,700");
        QVERIFY(rig.waitConnected());
        QStringList shown;
        answerModal<BadBlkEditor>([&](BadBlkEditor *dialog) {
            shown.append(dialog->badBlockList() == QList<int>({5, 700}) ? "5,700" : "other");
            dialog->setBadBlockList(edited);
            dialog->accept();
        });
        answerModal<QMessageBox>([&](QMessageBox *box) {
            shown.append(box->text().section(':', 0, 0));
            box->button(reply)->click();
        });
        rig.widget<QToolButton>("pbInfo")->click();
        QTRY_COMPARE(shown.size(), 2);
        QCOMPARE(shown.last(), reply == QMessageBox::Ok
                                   ? "Removing a block from the list does not make it good again"
                                   : "Mark 1 block(s) as bad on the chip");
        const bool marked = reply == QMessageBox::Yes;
        QVERIFY(!marked || rig.waitForLine(": Complete", 2));
        QCOMPARE(rig.countLines("Marking 1 Flash block(s) as bad: 9"), int(marked));
        QCOMPARE(qMakePair(rig.set.chip(0).isBad(9), rig.set.chip(0).isBad(700)),
                 qMakePair(marked, true));
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
