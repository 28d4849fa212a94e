#include "dialogs/badblkeditor.h"
#include "dialogs/blockselection.h"
#include "support/windowfixture.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>

using Blocks = QList<int>;

namespace {

// The dialog's widget of type T named `name` (any name when none is given).
template <class T>
T *child(QObject *dialog, const char *name = nullptr)
{
    T *widget = dialog->findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

void addRange(QDialog *dialog, int first, int last)
{
    child<QSpinBox>(dialog, "sbFirst")->setValue(first);
    child<QSpinBox>(dialog, "sbLast")->setValue(last);
    child<QPushButton>(dialog, "pbAdd")->click();
}

// The table's rows as "first/last" texts.
QStringList tableRows(QDialog *dialog)
{
    const QTableWidget *table = child<QTableWidget>(dialog, "tbBlocks");
    QStringList rows;
    for (int row = 0; row < table->rowCount(); ++row)
        rows << table->item(row, 0)->text() + '/' + table->item(row, 1)->text();
    return rows;
}

QString nameText(QDialog *dialog)
{
    return child<QLineEdit>(dialog, "leName")->text();
}

// Adds `block` through the editor's add dialog, entering it in the add dialog's spin box.
void addBadBlock(QDialog *editor, int block)
{
    answerModal<QDialog>([block](QDialog *addDialog) {
        child<QSpinBox>(addDialog)->setValue(block);
        addDialog->accept();
    });
    child<QPushButton>(editor, "pbAdd")->click();
}

} // namespace

class TestDialogs : public QObject
{
    Q_OBJECT

private slots:
    void blockSelectionAdd_data()
    {
        QTest::addColumn<QList<BlockRange>>("added");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("list");
        QTest::newRow("apart, sorted") << QList<BlockRange>{{30, 30}, {0, 10}, {5, 20}}
                                       << QStringList{"0/20", "30/30"} << "0...20, 30";
        QTest::newRow("reversed adds nothing")
            << QList<BlockRange>{{50, 40}} << QStringList() << QString();
    }

    void blockSelectionAdd()
    {
        QFETCH(QList<BlockRange>, added);
        QFETCH(QStringList, rows);
        QFETCH(QString, list);
        BlockSelection dialog;
        dialog.show();
        for (const BlockRange &range : added)
            addRange(&dialog, range.first, range.last);
        QCOMPARE(tableRows(&dialog), rows);
        QCOMPARE(dialog.ranges().toString(), list);
        QCOMPARE(nameText(&dialog), QString("Custom (%1)").arg(list));

        // Removing the current row (if any) renames the list after the rows that remain.
        auto *table = child<QTableWidget>(&dialog, "tbBlocks");
        table->setCurrentCell(int(rows.size()) - 1, 0);
        child<QPushButton>(&dialog, "pbRemove")->click();
        QCOMPARE(tableRows(&dialog), rows.mid(0, qMax(0, int(rows.size()) - 1)));
        QCOMPARE(nameText(&dialog), QString("Custom (%1)").arg(dialog.ranges().toString()));
    }

    void blockSelectionEditedCell_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("list");
        QTest::addColumn<QStringList>("rowsAfterAdd");
        QTest::newRow("number") << "25"
                                << "0...10, 20...25" << QStringList{"0/10", "20/25", "500/500"};
        QTest::newRow("not a number") << "x1"
                                      << "0...10" << QStringList{"0/10", "500/500"};
        QTest::newRow("beyond the flash") << "2147483647"
                                          << "0...10" << QStringList{"0/10", "500/500"};
    }

    void blockSelectionEditedCell()
    {
        QFETCH(QString, text);
        QFETCH(QString, list);
        BlockSelection dialog;
        dialog.show();
        addRange(&dialog, 0, 10);
        addRange(&dialog, 20, 30);
        child<QTableWidget>(&dialog, "tbBlocks")->item(1, 1)->setText(text);
        QCOMPARE(dialog.ranges().toString(), list);
        QCOMPARE(nameText(&dialog), QString("Custom (%1)").arg(list));
        // The next addition rewrites the table from the rows that count.
        addRange(&dialog, 500, 500);
        QTEST(tableRows(&dialog), "rowsAfterAdd");
    }

    void blockSelectionName()
    {
        BlockSelection dialog;
        dialog.show();
        addRange(&dialog, 1, 2);
        auto *name = child<QLineEdit>(&dialog, "leName");
        name->selectAll();
        QTest::keyClicks(name, "Boot");
        addRange(&dialog, 7, 7);
        QCOMPARE(nameText(&dialog), QString("Boot"));

        // Coming back from minimised is no new showing: the entries stay.
        dialog.setWindowState(Qt::WindowMinimized);
        dialog.setWindowState(Qt::WindowNoState);
        QCOMPARE(nameText(&dialog), QString("Boot"));
        QCOMPARE(dialog.ranges().toString(), QString("1...2, 7"));
        // A name cleared by hand stays empty.
        name->selectAll();
        QTest::keyClick(name, Qt::Key_Backspace);
        addRange(&dialog, 9, 9);
        QCOMPARE(nameText(&dialog), QString());

        // A new showing starts afresh, with the name following the ranges again.
        dialog.hide();
        dialog.show();
        QCOMPARE(tableRows(&dialog), QStringList());
        QCOMPARE(child<QSpinBox>(&dialog, "sbFirst")->value(), 0);
        QCOMPARE(child<QSpinBox>(&dialog, "sbLast")->value(), 1023);
        addRange(&dialog, 3, 3);
        QCOMPARE(nameText(&dialog), QString("Custom (3)"));
    }

    void selectRanges_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("enter");
        QTest::addColumn<bool>("accept");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("list");
        QTest::newRow("accepted") << "Select block ranges to read" << true << true
                                  << "Custom (4...8)"
                                  << "4...8";
        QTest::newRow("accepted at once") << QString() << false << true << QString() << QString();
        QTest::newRow("cancelled") << "Erase" << true << false << QString() << QString();
    }

    void selectRanges()
    {
        QFETCH(QString, title);
        QFETCH(bool, enter);
        QFETCH(bool, accept);
        QString shownTitle;
        BlockSelection dialog;
        answerModal<QDialog>([&](QDialog *shown) {
            shownTitle = shown->windowTitle();
            if (enter)
                addRange(shown, 4, 8);
            if (accept)
                child<QDialogButtonBox>(shown, "buttonBox")->button(QDialogButtonBox::Ok)->click();
        });
        const BlockRangeList result = dialog.selectRanges(title);
        QCOMPARE(shownTitle, title.isEmpty() ? QString("Select block ranges") : title);
        QTEST(result.name, "name");
        QTEST(result.toString(), "list");
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
        addBadBlock(&editor, 7);
        addBadBlock(&editor, 20);
        addBadBlock(&editor, 5000); // the add dialog's limit is the last block
        QCOMPARE(list->item(0)->text(), QString("   7"));
        QCOMPARE(editor.badBlockList(), Blocks({7, 7, 20, 100, 1023, 1023}));

        list->item(1)->setSelected(true);
        list->item(1)->setSelected(false);
        QVERIFY(!del->isEnabled());
        list->item(1)->setSelected(true);
        list->item(2)->setSelected(true);
        del->click();
        QCOMPARE(editor.badBlockList(), Blocks({7, 100, 1023, 1023}));
        QVERIFY(del->isEnabled());
        list->selectAll();
        del->click();
        QCOMPARE(editor.badBlockList(), Blocks());
        QVERIFY(!del->isEnabled());
    }

    void editBadBlocks_data()
    {
        QTest::addColumn<Blocks>("given");
        QTest::addColumn<Blocks>("adds");
        QTest::addColumn<int>("deleteRow");
        QTest::addColumn<bool>("accept");
        QTest::addColumn<Blocks>("result");
        QTest::addColumn<Blocks>("added");
        QTest::addColumn<Blocks>("removed");
        QTest::newRow("unchanged")
            << Blocks{700, 3} << Blocks() << -1 << true << Blocks{3, 700} << Blocks() << Blocks();
        QTest::newRow("added and removed") << Blocks{3, 700} << Blocks{9, 3, 1} << 4 << true
                                           << Blocks{1, 3, 3, 9} << Blocks{1, 9} << Blocks{700};
        QTest::newRow("duplicate deleted")
            << Blocks{5, 5} << Blocks() << 0 << true << Blocks{5} << Blocks() << Blocks();
        QTest::newRow("cancelled")
            << Blocks{3, 700} << Blocks{9} << 0 << false << Blocks{3, 700} << Blocks() << Blocks();
    }

    void editBadBlocks()
    {
        QFETCH(Blocks, given);
        QFETCH(Blocks, adds);
        QFETCH(int, deleteRow);
        QFETCH(bool, accept);
        Blocks list = given;
        BadBlkEditor::Changes changes{{-1}, {-1}};
        QCOMPARE(BadBlkEditor::editBadBlocks("K9F1G08U0x", list, &changes), 0); // no editor yet
        QCOMPARE(list, given);
        QVERIFY(changes.added.isEmpty() && changes.removed.isEmpty());

        BadBlkEditor editor;
        QString chipInfo;
        answerModal<QDialog>([&](QDialog *shown) {
            chipInfo = child<QLabel>(shown, "lbChipInfo")->text();
            for (int block : adds)
                addBadBlock(shown, block);
            if (deleteRow >= 0) {
                child<QListWidget>(shown, "lwBadBlocks")->item(deleteRow)->setSelected(true);
                child<QPushButton>(shown, "pbDel")->click();
            }
            if (accept)
                shown->accept();
        });
        QCOMPARE(BadBlkEditor::editBadBlocks("K9F1G08U0x", list, &changes), accept ? 1 : 0);
        QCOMPARE(chipInfo, QString("K9F1G08U0x"));
        QTEST(list, "result");
        QTEST(changes.added, "added");
        QTEST(changes.removed, "removed");
    }

    void editBadBlocksWhileOpen()
    {
        BadBlkEditor editor;
        Blocks first{3, 700};
        Blocks second{9};
        answerModal<QDialog>([&](QDialog *shown) {
            QCOMPARE(BadBlkEditor::editBadBlocks("second", second), 0);
            QCOMPARE(child<QLabel>(shown, "lbChipInfo")->text(), QString("first"));
            shown->accept();
        });
        QCOMPARE(BadBlkEditor::editBadBlocks("first", first), 1);
        QCOMPARE(first, Blocks({3, 700}));
        QCOMPARE(second, Blocks({9}));
    }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
