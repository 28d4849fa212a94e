#include "app/commandline.h"
#include "app/settingskeys.h"
#include "app/startup.h"
#include "dialogs/badblkeditor.h"
#include "dialogs/exitdialog.h"
#include "engine/aprogrammer.h"
#include "sim/nandchip.h"
#include "sim/simdriver.h"
#include "support/enginefixture.h"
#include "support/simtestconfig.h"
#include "support/windowfixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QProgressBar>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBrowser>
#include <QTimer>
#include <QTranslator>

namespace {

// What the user sees, a letter per item, upper case when usable (Abort and Close: when shown):
// operation buttons, Load, Save, Abort, Close, ECC box, the whole button column.
QString stateOf(WindowRig &rig)
{
    const char *const names[] = {"wButtons", "pbLoad",    "pbSaveAs",   "pbAbort",
                                 "pbClose",  "chbUseEcc", "wAllButtons"};
    QString state = "olsacew";
    for (int i = 0; i < state.size(); ++i) {
        const QWidget *item = rig.widget<QWidget>(names[i]);
        if (i == 3 || i == 4 ? !item->isHidden() : item->isEnabled())
            state[i] = state[i].toUpper();
    }
    return state;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { setUpWidgetTests(); }
    void init() { QSettings().clear(); }
    void cleanup() { cancelModalAnswers(); }

    // The first start, without a programmer, and the settings it leaves for the next one.
    void startAndSettings()
    {
        QTemporaryDir dir;
        const QString file = writeImageFile(dir.path(), "image.bin");
        // Only named lists of blocks on the flash are kept.
        BlockRangeList boot("Boot"), beyond("Beyond");
        boot.addRange(BlockRange(0, 3));
        beyond.ranges.append(BlockRange(0, Geometry::BlockCount));
        QSettings().setValue(SettingsKeys::Blocks, QVariantList({QVariant::fromValue(boot),
                                                                 QVariant::fromValue(beyond)}));
        WindowRig rig("programmers=0");
        const QStringList log = rig.log();
        QCOMPARE(log.at(1), "Velmora NPX4 Programmer v. 1.0.1120");
        // The window names the backend start-up gave it.
        QVERIFY(log.at(3).contains("simulated programmer (NPX4_SIMULATOR=" +
                                   simTestConfig("programmers=0") + "), not on a real device"));
        QVERIFY(rig.waitForLine("ERROR: Failed to open programmer device. Is it connected?"));
        QTest::qWait(600); // no second attempt
        QCOMPARE(rig.countLines("ERROR:"), 1);
        QCOMPARE(stateOf(rig), "olsaCeW");

        // Read only at first, which hides the writing buttons; Ctrl+R toggles it.
        rig.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
        QVERIFY(rig.widget<QWidget>("pbErase")->isHidden());
        QTest::keyClick(rig.window.get(), Qt::Key_R, Qt::ControlModifier);
        QTRY_VERIFY(!rig.widget<QWidget>("pbErase")->isHidden());
        rig.window->resize(600, 500);
        // Ctrl+Q closes as the window's close decoration does: after the question.
        answerModal<ExitDialog>([&](ExitDialog *dialog) {
            // Nothing runs and nothing is unsaved: no warning.
            QVERIFY(dialog->findChild<QLabel *>("lbOperationRunning")->isHidden());
            QVERIFY(dialog->findChild<QLabel *>("lbUnsavedBuffer")->isHidden());
            dialog->setAskOnExit(false);
            dialog->accept();
        });
        QTest::keyClick(rig.window.get(), Qt::Key_Q, Qt::ControlModifier);
        QTRY_VERIFY(!rig.window->isVisible());
        rig.window.reset();
        QSettings settings;
        QCOMPARE(settings.value(SettingsKeys::WindowSize).toSize(), QSize(600, 500));
        QCOMPARE(settings.value(SettingsKeys::ReadOnly), QVariant(false));
        QCOMPARE(settings.value(SettingsKeys::AskOnExit), QVariant(false));
        QCOMPARE(settings.value(SettingsKeys::Blocks).toList(), {QVariant::fromValue(boot)});

        WindowRig again("programmers=0");
        again.window->loadFileAtStart(QDir::current().relativeFilePath(file));
        QCOMPARE(again.window->size(), QSize(600, 500));
        QVERIFY(!again.widget<QWidget>("pbErase")->isHidden());
        QCOMPARE(again.menuEntry("pbRead", 2)->text(), "Boot");
        QVERIFY(again.waitForLine("Opened file \"" + file + '"'));
        answerModal<ExitDialog>([](ExitDialog *) { QFAIL("asked again"); });
        QVERIFY(again.window->close());
    }

    void connectionAndFirmware_data()
    {
        QTest::addColumn<bool>("upgrade");
        QTest::addColumn<QString>("state");
        QTest::newRow("1.5") << false << "OLSaCEW";
        QTest::newRow("1.3, upgraded") << true << "OLSaCeW";
    }
    void connectionAndFirmware()
    {
        QFETCH(bool, upgrade);
        QString question;
        // The window runs in an event loop of its own, as in the program: QTest's waits would
        // run deferred deletions that such a loop holds back while the question is open.
        QEventLoop program;
        if (upgrade)
            answerModal<QMessageBox>([&](QMessageBox *box) {
                question = box->text().section('\n', 1, 1);
                // Left open a while, as by a user: nothing may be opened again meanwhile.
                QEventLoop userThinks;
                QTimer::singleShot(1200, &userThinks, &QEventLoop::quit);
                userThinks.exec();
                box->button(QMessageBox::Yes)->click();
                program.quit();
            });
        WindowRig rig(upgrade ? "firmware=1.3" : "1");
        QStringList states;
        QObject::connect(rig.engine, &AProgrammer::operationBegin, rig.window.get(),
                         [&] { states.append(stateOf(rig)); });
        if (upgrade)
            program.exec();
        QVERIFY(rig.waitConnected());
        QTEST(stateOf(rig), "state");
        QCOMPARE(rig.widget<QCheckBox>("chbUseEcc")->isChecked(), !upgrade);
        if (upgrade) {
            QCOMPARE(question, "Current version is 1.3.");
            // Runs in the window's thread: nothing in the button column is usable meanwhile.
            QVERIFY(rig.waitForLine(": Finished"));
            QCOMPARE(states, QStringList("olsaCew"));
            const QProgressBar *bar = rig.widget<QProgressBar>("progressBar");
            QCOMPARE(qMakePair(bar->value(), bar->maximum()), qMakePair(12288, 12288));
        }
        QCOMPARE(rig.countLines("Upgrading device firmware..."), int(upgrade));
        QCOMPARE(rig.countLines("Failed to open"), 0);
        QCOMPARE(rig.countLines("successfully opened"), 1);
    }

    void busyStates()
    {
        WindowRig rig;
        QVERIFY(rig.waitConnected());
        rig.set.driver().device(0).setRate(2000000); // about 60 ms a block
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
        check([&] {
            answerModal<ExitDialog>([&](ExitDialog *dialog) {
                const auto *warning = dialog->findChild<QLabel *>("lbOperationRunning");
                states.append(warning->isHidden() ? "quiet" : "warned");
                dialog->accept();
            });
            rig.window->close();
        });
        QCOMPARE(states,
                 QStringList({"olsAceW", "OLSaCEW", "olsaCeW", "OLSaCeW", "warned", "OLSaCeW"}));
    }

    void logLines()
    {
        WindowRig rig("programmers=0");
        const auto last = [&] { return rig.log().last(); };
        emit rig.engine->operationBegin("Job <b>one</b> %1");
        QCOMPARE(last().mid(8), ": Job one %1"); // after the time
        emit rig.engine->error("Broken");
        QCOMPARE(last().mid(8), ": ERROR: Broken");

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

    void chipInfoEditsMarkBlocksBad_data()
    {
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<QList<int>>("edited");
        QTest::addColumn<QMessageBox::StandardButton>("reply");
        QTest::addColumn<QString>("question");
        const QList<int> added{5, 9, 700};
        QTest::newRow("added, confirmed") << false << added << QMessageBox::Yes
                                          << "The image blocks 8...34 of the image in the buffer";
        QTest::newRow("added, refused") << false << added << QMessageBox::No << "as bad";
        QTest::newRow("removed") << false << QList<int>{5} << QMessageBox::Ok
                                 << "Removing a block from the list does not make it good again";
        QTest::newRow("read only") << true << added << QMessageBox::Yes << QString();
    }
    void chipInfoEditsMarkBlocksBad()
    {
        QFETCH(bool, readOnly);
        QFETCH(QList<int>, edited);
        QFETCH(QMessageBox::StandardButton, reply);
        QFETCH(QString, question);
        BadBlkEditor editor;
        WindowRig rig("bad=5,700");
        QVERIFY(rig.waitConnected());
        rig.widget<QCheckBox>("chbReadOnly")->setChecked(readOnly);
        QVERIFY(loadImage(*rig.engine, imageWithDirectory({directoryEntry('a')})));
        QStringList shown;
        answerModal<BadBlkEditor>([&](BadBlkEditor *dialog) {
            shown.append("editor");
            QList<int> other;
            QCOMPARE(BadBlkEditor::editBadBlocks("other", other), 0); // open: takes no other list
            QCOMPARE(dialog->badBlockList(), QList<int>({5, 700}));
            QCOMPARE(dialog->findChild<QPushButton *>("pbAdd")->isEnabled(), !readOnly);
            dialog->setBadBlockList(edited);
            dialog->accept();
        });
        answerQuestion(reply, &shown); // asked or not, so that a wrong question never waits
        rig.widget<QToolButton>("pbInfo")->click();
        QVERIFY(rig.waitForLine(": Complete"));
        QTRY_VERIFY(!QApplication::activeModalWidget());
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

    // Data on the chip or in the buffer is not lost without a question.
    void questionsProtectData()
    {
        BlockRangeList boot("Boot"); // entry 2 of every block menu
        boot.addRange(BlockRange(0, 3));
        QSettings().setValue(SettingsKeys::Blocks, QVariantList({QVariant::fromValue(boot)}));
        QSettings().setValue(SettingsKeys::AskOnExit, false);
        QTemporaryDir dir;
        const QUrl file = QUrl::fromLocalFile(writeImageFile(dir.path(), "image.bin"));
        WindowRig rig;
        QVERIFY(rig.waitConnected());
        // The whole flash is erased only after a question, from the button as from its menu.
        QStringList asked;
        answerQuestion(QMessageBox::No, &asked);
        rig.widget<QToolButton>("pbErase")->click();
        answerQuestion(QMessageBox::No, &asked);
        rig.menuEntry("pbErase", 0)->trigger();
        QCOMPARE(asked.filter("Erase the whole Flash?").size(), 2);
        QCOMPARE(rig.countLines("Erasing"), 0);

        // The chip is blank: the line after the end of the read says how to go on. Nothing was
        // read.
        rig.widget<QToolButton>("pbRead")->click();
        QVERIFY(rig.waitForLine("Block 2 of the Flash holds no image directory"));
        QVERIFY(rig.log().join('\n').contains(
            QRegularExpression("Invalid or empty flash content[\\s\\S]*: Failed[\\s\\S]*Block 2 of "
                               "the Flash holds no")));
        rig.menuEntry("pbRead", 2)->trigger();
        QVERIFY(rig.waitForLine(": Complete"));
        QVERIFY(rig.log().last().contains("524.29 kB in ")); // amount, time and rate
        const QProgressBar *bar = rig.widget<QProgressBar>("progressBar");
        QCOMPARE(qMakePair(bar->value(), bar->maximum()), qMakePair(4, 4));

        // Refused: nothing is read or loaded, and the window stays open, though it was told not
        // to ask.
        answerQuestion(QMessageBox::No, &asked);
        rig.widget<QToolButton>("pbRead")->click();
        answerQuestion(QMessageBox::No, &asked);
        QVERIFY(dropUrls(rig.window.get(), {file}));
        bool warned = false;
        answerModal<ExitDialog>([&](ExitDialog *dialog) {
            warned = dialog->findChild<QLabel *>("lbUnsavedBuffer")->isVisible();
        });
        QVERIFY(!rig.window->close());
        QVERIFY(warned);
        QCOMPARE(asked.filter("not saved to a file").size(), 2);
        QCOMPARE(rig.countLines("Reading"), 2);
        QCOMPARE(rig.countLines("Opened file"), 0);
    }

    // The menu's whole Flash on a chip with two bad blocks: the two blocks at the end that have
    // no good block left are not read, and the bar still ends full, with the amount read.
    void wholeFlashAroundBadBlocks()
    {
        WindowRig rig("bad=5,700");
        QVERIFY(rig.waitConnected());
        rig.menuEntry("pbRead", 0)->trigger();
        QVERIFY(rig.waitForLine(": Complete"));
        const QProgressBar *bar = rig.widget<QProgressBar>("progressBar");
        QCOMPARE(qMakePair(bar->value(), bar->maximum()), qMakePair(1022, 1022));
        QVERIFY(rig.log().last().contains("133.96 MB in "));
    }

    // Found next to the program.
    void programTranslationIsFound()
    {
        const QString programDir = QCoreApplication::applicationDirPath() + "/..";
        const QString built = QFileInfo(programDir + "/npx4-prog_de.qm").canonicalFilePath();
        QVERIFY2(!built.isEmpty(), "npx4-prog_de.qm is built with npx4-prog");
        QTranslator german;
        QVERIFY(loadProgramTranslation(german, "de_DE", programDir));
        QCOMPARE(QFileInfo(german.filePath()).canonicalFilePath(), built);
        QCOMPARE(german.translate("MainDialog", "&Read"), "L&esen");
    }

    void printsOnlyHelpAndVersion()
    {
        const auto printsOnly = [](QByteArrayList words) {
            QList<char *> argv;
            for (QByteArray &word : words)
                argv.append(word.data());
            return CommandLine::printsOnly(int(argv.size()), argv.data());
        };
        QVERIFY(printsOnly({"npx4-prog", "a.bin", "--version"}));
        QVERIFY(!printsOnly({"npx4-prog", "--", "--help"}));
        QVERIFY(!printsOnly({"npx4-prog", "a.bin"}));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
