// The window's buffer file commands and the block range menus of its buttons.

#include "app/recentfiles.h"
#include "app/settingskeys.h"
#include "engine/aprogrammer.h"
#include "support/windowfixture.h"

#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <sys/stat.h>

namespace {

const char *const MenuButtons[] = {"pbAutoProgram", "pbProgram", "pbErase",  "pbRead",
                                   "pbVerify",      "pbCheck",   "pbSaveAs", "pbCalcHash"};

QByteArray fileData(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("unreadable");
}

void answerFileDialog(const QString &path)
{
    answerModal<QFileDialog>([path](QFileDialog *dialog) {
        dialog->selectFile(path);
        static_cast<QDialog *>(dialog)->accept();
    });
}

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

    void shortenPath()
    {
        const QString dump = "/home/user/images/board/flash_dump_full_2012.bin";
        const QString shortDump = "/home/user/.../board/flash_dump_full_2012.bin";
        QCOMPARE(::shortenPath(dump, u'/'), shortDump);
        QCOMPARE(::shortenPath(dump, u'\\'), shortDump); // no backslash: slashes
        QCOMPARE(
            ::shortenPath("/data/a_very_long_file_name_without_any_separator_inside.bin", u'/'),
            "...without_any_separator_inside.bin");
        const QString noGain = "/a/b/" + QString(31, 'c') + ".bin"; // as long when shortened
        QCOMPARE(::shortenPath(noGain, u'/'), noGain);
        QCOMPARE(::shortenPath("C:\\Users\\tech\\flash\\dumps\\2012\\flash_dump_full.bin", u'\\'),
                 "C:\\Users\\...\\dumps\\2012\\flash_dump_full.bin");
    }

    void recentFilesMenu()
    {
        QTemporaryDir dir;
        const QString gone = dir.filePath("gone.bin");
        const QString odd = writeImageFile(dir.path(), "a&<b>c.bin", 1);
        QSettings().setValue(SettingsKeys::RecentFiles, QStringList(gone));
        {
            WindowRig rig("programmers=0");
            QCOMPARE(menuTexts(rig, "pbLoad"), "");
            QCOMPARE(rig.widget<QToolButton>("pbLoad")->popupMode(), QToolButton::MenuButtonPopup);
            QVERIFY(dropUrls(rig.window.get(), {QUrl::fromLocalFile(odd)}));
            QVERIFY(dropUrls(rig.window.get(), {QUrl::fromLocalFile(odd)}));
            QCOMPARE(rig.widget<QLabel>("lbBufferStatus")->text(),
                     "Buffer contains file:<br/><b>" + odd.toHtmlEscaped() + "</b>");
            QCOMPARE(menuTexts(rig, "pbLoad"), ::shortenPath(odd).replace("&", "&&"));
        }
        QCOMPARE(QSettings().value(SettingsKeys::RecentFiles).toStringList(),
                 QStringList({odd, gone}));

        // At most 20 files; the one chosen from the menu moves to the front.
        QStringList files;
        for (int i = 0; i < 21; ++i)
            files.append(writeImageFile(dir.path(), QString("f%1.bin").arg(i), 1));
        QSettings().setValue(SettingsKeys::RecentFiles, files);
        WindowRig rig("programmers=0");
        QCOMPARE(rig.widget<QToolButton>("pbLoad")->menu()->actions().size(), 20);
        rig.menuEntry("pbLoad", -1)->trigger();
        QCOMPARE(rig.countLines("Opened file \"" + files.at(19) + '"'), 1);
        QCOMPARE(rig.menuEntry("pbLoad", 0)->data(), QVariant(files.at(19)));
    }

    void loadDialogAndDrops()
    {
        QTemporaryDir dir;
        const QString first = writeImageFile(dir.path(), "first.bin", 3);
        const QString second = writeImageFile(dir.path(), "second.bin", 1);
        WindowRig rig;
        QVERIFY(rig.waitConnected());
        answerFileDialog(second);
        rig.widget<QToolButton>("pbLoad")->click();
        QCOMPARE(rig.countLines("Opened file \"" + second + '"'), 1);

        // The first local file of a drop is opened.
        const QUrl web("https://velmora.example/image.bin");
        QVERIFY(!dropUrls(rig.window.get(), {web}));
        QVERIFY(dropUrls(rig.window.get(),
                         {web, QUrl::fromLocalFile(first), QUrl::fromLocalFile(second)}));
        QCOMPARE(rig.countLines("Opened file \"" + first + '"'), 1);
        // A pipe is not opened: that would wait for a writer and freeze the window.
        const QString pipe = dir.filePath("pipe");
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        QStringList messages;
        for (const QString &path : {dir.filePath("missing.bin"), pipe}) {
            answerQuestion(QMessageBox::Ok, &messages);
            QVERIFY(dropUrls(rig.window.get(), {QUrl::fromLocalFile(path)}));
        }
        QCOMPARE(messages.size(), 2);
        QVERIFY(messages.first().startsWith("Failed to open file: "));
        QCOMPARE(messages.last(), "Failed to open file: it is not a regular file");
        QCOMPARE(rig.countLines("Opened file"), 2);

        // Saved with blocks chosen: those blocks only.
        const QString target = dir.filePath("target.bin");
        answerSelection("First two", {BlockRange(0, 1)});
        answerFileDialog(target);
        rig.menuEntry("pbSaveAs", -1)->trigger();
        QCOMPARE(fileData(target), fileData(first).left(2 * 131072));
        QVERIFY(rig.widget<QLabel>("lbBufferStatus")->text().contains(target));
    }

    void wholeFlashPassesEveryBlock()
    {
        WindowRig rig("programmers=0");
        const QStringList titles = {
            "Auto-programming", "Programming", "Erasing", "Reading",
            "Verifying",        "Checking",    "",        "Computing hashes for"};
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(menuTexts(rig, MenuButtons[i]),
                     "Whole flash (0-1023)|-|-|Other block range...");
            if (titles.at(i).isEmpty())
                continue;
            if (QLatin1String(MenuButtons[i]) == "pbErase")
                answerQuestion(QMessageBox::Yes);
            choose(rig, MenuButtons[i], 0);
            QCOMPARE(rig.countLines(titles.at(i) + " 1024 Flash block(s): 0...1023"), 1);
        }
        QCOMPARE(rig.widget<QLabel>("lbBufferStatus")->text(),
                 "<b>Buffer contains data from Flash</b>");
    }

    // Named block range lists chosen in the dialog join the menus of every button, the most
    // recent first, up to 20 of them.
    void dialogChoicesFeedTheHistory()
    {
        QVariantList stored;
        for (int i = 0; i < 25; ++i) {
            BlockRangeList list(QString("List %1").arg(i));
            list.addRange(BlockRange(i + 10, i + 10));
            stored.append(QVariant::fromValue(list));
        }
        QSettings().setValue(SettingsKeys::Blocks, stored);
        WindowRig rig("programmers=0");
        QCOMPARE(rig.widget<QToolButton>("pbRead")->menu()->actions().size(), 4 + 25);
        answerSelection("Boot", {BlockRange(0, 3)});
        choose(rig, "pbCheck", -1);
        QCOMPARE(rig.countLines("Checking 4 Flash block(s): 0...3"), 1);
        for (const char *button : MenuButtons)
            QCOMPARE(menuTexts(rig, button).section('|', 1, 3), "-|Boot|List 0");
        QCOMPARE(menuTexts(rig, "pbRead").split('|').size(), 4 + 20);
        // The same blocks under another name replace the entry; a list without a name runs
        // but is not recorded.
        answerSelection("Boot & loader", {BlockRange(2, 3), BlockRange(0, 1)});
        choose(rig, "pbCheck", -1);
        answerSelection("", {BlockRange(5, 6)});
        choose(rig, "pbCheck", -1);
        QCOMPARE(rig.countLines("Checking 2 Flash block(s): 5...6"), 1);
        choose(rig, "pbCheck", 3); // List 0
        QCOMPARE(menuTexts(rig, "pbErase").section('|', 2, 4), "List 0|Boot && loader|List 1");
        rig.window.reset();
        QCOMPARE(QSettings().value(SettingsKeys::Blocks).toList().size(), 20);
    }
};

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
