// The window's buffer file commands and the block range menus of its buttons.

#include "app/recentfiles.h"
#include "app/settingskeys.h"
#include "support/windowfixture.h"

#include <QFileDialog>
#include <QMenu>
#include <sys/stat.h>

namespace {

const char *const MenuButtons[] = {"pbAutoProgram", "pbProgram", "pbErase",  "pbRead",
                                   "pbVerify",      "pbCheck",   "pbSaveAs", "pbCalcHash"};

// The texts of a button's menu entries, "-" for a separator.
QString menuTexts(WindowRig &rig, const char *button)
{
    QStringList texts;
    for (const QAction *entry : rig.widget<QToolButton>(button)->menu()->actions())
        texts.append(entry->isSeparator() ? QStringLiteral("-") : entry->text());
    return texts.join('|');
}

// Chooses a menu entry and waits for the request it files to end: without a programmer every
// request fails at once.
void choose(WindowRig &rig, const char *button, int index)
{
    const int ended = rig.countLines(": Failed");
    rig.menuEntry(button, index)->trigger();
    QVERIFY(rig.waitForLine(": Failed", ended + 1));
}

} // namespace

class TestCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { setUpWidgetTests(); }
    void init() { QSettings().clear(); }
    void cleanup() { cancelModalAnswers(); }

    // The helpers of the Load button's menu.
    void recentFileHelpers()
    {
        const QString dump = "/home/user/images/board/flash_dump_full_2012.bin";
        const QString shortDump = "/home/user/.../board/flash_dump_full_2012.bin";
        QCOMPARE(::shortenPath(dump, u'/'), shortDump);
        QCOMPARE(::shortenPath(dump, u'\\'), shortDump);            // no backslash: slashes
        const QString noGain = "/a/b/" + QString(31, 'c') + ".bin"; // as long when shortened
        QCOMPARE(::shortenPath(noGain, u'/'), noGain);
        QCOMPARE(::shortenPath("C:\\Users\\tech\\flash\\dumps\\2012\\flash_dump_full.bin", u'\\'),
                 "C:\\Users\\...\\dumps\\2012\\flash_dump_full.bin");
        // Without duplicates, and at most 20.
        QStringList files;
        for (int i = 0; i < 22; ++i)
            files.append(QString::number(i % 21));
        normalizeRecentFiles(files);
        QCOMPARE(files.size(), 20);
        QCOMPARE(files.last(), "19");
    }

    void bufferFiles()
    {
        QTemporaryDir dir;
        const QString odd = writeImageFile(dir.path(), "a&<b>c.bin");
        const QString second = writeImageFile(dir.path(), "second.bin");
        const QString gone = dir.filePath("gone.bin");
        QSettings().setValue(SettingsKeys::RecentFiles, QStringList(gone));
        WindowRig rig;
        QVERIFY(rig.waitConnected());
        QCOMPARE(menuTexts(rig, "pbLoad"), ""); // a file that is gone is not offered
        answerModal<QFileDialog>([&](QFileDialog *dialog) {
            dialog->selectFile(second);
            static_cast<QDialog *>(dialog)->accept();
        });
        rig.widget<QToolButton>("pbLoad")->click();
        QCOMPARE(rig.countLines("Opened file \"" + second + '"'), 1);

        // The first local file of a drop is opened.
        const QUrl web("https://velmora.example/image.bin");
        QVERIFY(!dropUrls(rig.window.get(), {web}));
        QVERIFY(dropUrls(rig.window.get(),
                         {web, QUrl::fromLocalFile(odd), QUrl::fromLocalFile(second)}));
        QCOMPARE(rig.countLines("Opened file \"" + odd + '"'), 1);
        QCOMPARE(rig.widget<QLabel>("lbBufferStatus")->text(),
                 "Buffer contains file:<br/><b>" + odd.toHtmlEscaped() + "</b>");
        // A pipe is not opened: that would wait for a writer and freeze the window.
        const QString pipe = dir.filePath("pipe");
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        QStringList messages;
        for (const QString &path : {gone, pipe}) {
            answerQuestion(QMessageBox::Ok, &messages);
            QVERIFY(dropUrls(rig.window.get(), {QUrl::fromLocalFile(path)}));
        }
        QVERIFY(messages.value(0).startsWith("Failed to open file: "));
        QCOMPARE(messages.value(1), "Failed to open file: it is not a regular file");
        QCOMPARE(rig.countLines("Opened file"), 2);

        // The most recent file first; one chosen from the menu moves to the front.
        QCOMPARE(menuTexts(rig, "pbLoad"),
                 ::shortenPath(odd).replace("&", "&&") + '|' + ::shortenPath(second));
        rig.menuEntry("pbLoad", -1)->trigger();
        QCOMPARE(rig.countLines("Opened file \"" + second + '"'), 2);
        rig.window.reset();
        QCOMPARE(QSettings().value(SettingsKeys::RecentFiles).toStringList(),
                 QStringList({second, odd, gone}));
    }

    // Every button's menu offers the whole flash (a whole-Flash request), then the named lists
    // chosen in the dialog or from a menu, the most recent first: the same blocks under another
    // name replace an entry; 20 entries at most.
    void blockMenus()
    {
        QVariantList stored;
        for (int i = 0; i < 20; ++i) {
            BlockRangeList list(QString("List %1").arg(i));
            list.addRange(BlockRange(i + 10, i + 10));
            stored.append(QVariant::fromValue(list));
        }
        QSettings().setValue(SettingsKeys::Blocks, stored);
        WindowRig rig("programmers=0");
        const QStringList titles = {
            "Auto-programming", "Programming", "Erasing", "Reading",
            "Verifying",        "Checking",    "",        "Computing hashes for"};
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(menuTexts(rig, MenuButtons[i]).section('|', 0, 2),
                     "Whole flash (0-1023)|-|List 0");
            if (titles.at(i).isEmpty())
                continue;
            if (QLatin1String(MenuButtons[i]) == "pbErase")
                answerQuestion(QMessageBox::Yes);
            choose(rig, MenuButtons[i], 0);
            QCOMPARE(rig.countLines(titles.at(i) + " whole Flash..."), 1);
        }
        QCOMPARE(rig.widget<QLabel>("lbBufferStatus")->text(),
                 "<b>Buffer contains data from Flash</b>");

        answerSelection("Boot", {BlockRange(0, 3)});
        choose(rig, "pbCheck", -1);
        answerSelection("Boot & loader", {BlockRange(2, 3), BlockRange(0, 1)});
        choose(rig, "pbCheck", -1);
        answerSelection("", {BlockRange(5, 6)}); // runs, but is not recorded
        choose(rig, "pbCheck", -1);
        choose(rig, "pbCheck", 3);
        QCOMPARE(rig.countLines("Checking 4 Flash block(s): 0...3"), 2);
        QCOMPARE(rig.countLines("Checking 2 Flash block(s): 5...6"), 1);
        QCOMPARE(rig.countLines("Checking 1 Flash block(s): 10"), 1);
        for (const char *button : MenuButtons)
            QCOMPARE(menuTexts(rig, button).section('|', 1, 4), "-|List 0|Boot && loader|List 1");
        QCOMPARE(menuTexts(rig, "pbRead").split('|').mid(21),
                 QStringList({"List 18", "-", "Other block range..."}));
    }
};

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
