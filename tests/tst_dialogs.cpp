#include "dialogs/badblkeditor.h"
#include "dialogs/blockselection.h"
#include "support/windowfixture.h"

#include <QLineEdit>
#include <QListWidget>
#include <QSpinBox>
#include <QTableWidget>

namespace {

// The dialog's widget of type T named `name` (any name when none is given).
template <class T>
T *child(QObject *dialog, const char *name = nullptr)
{
    return dialog->findChild<T *>(QLatin1String(name));
}

void addRange(QDialog *dialog, int first, int last)
{
    child<QSpinBox>(dialog, "sbFirst")->setValue(first);
    child<QSpinBox>(dialog, "sbLast")->setValue(last);
    child<QPushButton>(dialog, "pbAdd")->click();
}

// The table's rows as "first/last" texts, then the list's name.
QStringList rowsAndName(QDialog *dialog)
{
    const QTableWidget *table = child<QTableWidget>(dialog, "tbBlocks");
    QStringList rows;
    for (int row = 0; row < table->rowCount(); ++row)
        rows << table->item(row, 0)->text() + '/' + table->item(row, 1)->text();
    return rows << child<QLineEdit>(dialog, "leName")->text();
}

} // namespace

class TestDialogs : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { cancelModalAnswers(); }

    void blockSelection()
    {
        BlockSelection dialog;
        dialog.show();
        // Added ranges merge and sort; a reversed one adds nothing. The name follows the ranges.
        for (const BlockRange &range :
             {BlockRange(30, 30), BlockRange(0, 10), BlockRange(5, 20), BlockRange(50, 40)})
            addRange(&dialog, range.first, range.last);
        QCOMPARE(rowsAndName(&dialog), QStringList({"0/20", "30/30", "Custom (0...20, 30)"}));
        // A typed block counts only when it is a block of the flash; the next addition rewrites
        // the table from the rows that count.
        auto *table = child<QTableWidget>(&dialog, "tbBlocks");
        for (const char *text : {"x1", "2147483647"}) {
            table->item(1, 1)->setText(text);
            QCOMPARE(rowsAndName(&dialog).last(), "Custom (0...20)");
        }
        addRange(&dialog, 500, 500);
        QCOMPARE(rowsAndName(&dialog), QStringList({"0/20", "500/500", "Custom (0...20, 500)"}));
        // Removing the current row renames the list after the rows that remain.
        table->setCurrentCell(1, 0);
        child<QPushButton>(&dialog, "pbRemove")->click();
        QCOMPARE(rowsAndName(&dialog), QStringList({"0/20", "Custom (0...20)"}));

        // A name typed by hand stays, even when coming back from minimised, which is no new
        // showing; cleared by hand, it stays empty.
        auto *name = child<QLineEdit>(&dialog, "leName");
        name->selectAll();
        QTest::keyClicks(name, "Boot");
        dialog.setWindowState(Qt::WindowMinimized);
        dialog.setWindowState(Qt::WindowNoState);
        addRange(&dialog, 30, 30);
        QCOMPARE(rowsAndName(&dialog), QStringList({"0/20", "30/30", "Boot"}));
        name->selectAll();
        QTest::keyClick(name, Qt::Key_Backspace);
        addRange(&dialog, 40, 40);
        QCOMPARE(rowsAndName(&dialog).last(), QString());
        // A new showing starts afresh, with the name following the ranges again.
        dialog.hide();
        dialog.show();
        QCOMPARE(child<QSpinBox>(&dialog, "sbFirst")->value(), 0);
        QCOMPARE(child<QSpinBox>(&dialog, "sbLast")->value(), 1023);
        addRange(&dialog, 3, 3);
        QCOMPARE(rowsAndName(&dialog), QStringList({"3/3", "Custom (3)"}));
    }

    void badBlockListEditing()
    {
        BadBlkEditor editor;
        auto *list = child<QListWidget>(&editor, "lwBadBlocks");
        auto *del = child<QPushButton>(&editor, "pbDel");
        editor.setBadBlockList({});
        QVERIFY(!del->isEnabled());
        editor.setBadBlockList({1023, 7, 100});
        QVERIFY(del->isEnabled());
        for (int block : {20, 5000}) { // the add dialog's limit is the last block
            answerModal<QDialog>([block](QDialog *addDialog) {
                child<QSpinBox>(addDialog)->setValue(block);
                addDialog->accept();
            });
            child<QPushButton>(&editor, "pbAdd")->click();
        }
        QCOMPARE(list->item(0)->text(), QString("   7"));
        QCOMPARE(editor.badBlockList(), QList<int>({7, 20, 100, 1023, 1023}));

        // Delete is usable while a block is selected.
        list->item(1)->setSelected(true);
        list->item(1)->setSelected(false);
        QVERIFY(!del->isEnabled());
        list->item(1)->setSelected(true);
        list->item(2)->setSelected(true);
        del->click();
        QCOMPARE(editor.badBlockList(), QList<int>({7, 1023, 1023}));
        list->selectAll();
        del->click();
        QCOMPARE(editor.badBlockList(), QList<int>());
        QVERIFY(!del->isEnabled());
    }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
