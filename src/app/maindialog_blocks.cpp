// The block range menus of the operation buttons and the history of named block range lists
// that feeds them.

#include "app/maindialog.h"

#include "app/menuhelpers.h"
#include "app/rangehistory.h"
#include "dialogs/blockselection.h"
#include "engine/aprogrammer.h"
#include "ui_maindialog.h"

#include <QMenu>

void MainDialog::fillBlockMenu(QToolButton *button, void (MainDialog::*slot)())
{
    QMenu *menu = button->menu();
    if (!menu) {
        menu = new QMenu(button);
        button->setMenu(menu);
    }
    clearMenu(menu);

    const auto addEntry = [&](const QString &text, const QVariant &data) {
        auto *action = new QAction(menuEntryText(text), menu);
        action->setData(data);
        menu->addAction(action);
        connect(action, &QAction::triggered, this, slot);
    };
    const int lastBlock = engine->blockCount() - 1;
    BlockRangeList wholeFlash;
    wholeFlash.addRange(BlockRange(0, lastBlock));
    addEntry(tr("Whole flash (0-%1)").arg(lastBlock), QVariant::fromValue(wholeFlash));
    menu->addSeparator();
    for (const BlockRangeList &list : std::as_const(rangeHistory))
        addEntry(list.name, QVariant::fromValue(list));
    menu->addSeparator();
    addEntry(tr("Other block range..."), QVariant());
}

void MainDialog::updateBlockMenus()
{
    fillBlockMenu(ui->pbAutoProgram, &MainDialog::autoProgramBlocks);
    fillBlockMenu(ui->pbProgram, &MainDialog::programBlocks);
    fillBlockMenu(ui->pbErase, &MainDialog::eraseBlocks);
    fillBlockMenu(ui->pbRead, &MainDialog::readBlocks);
    fillBlockMenu(ui->pbVerify, &MainDialog::verifyBlocks);
    fillBlockMenu(ui->pbCheck, &MainDialog::checkBlocks);
    fillBlockMenu(ui->pbSaveAs, &MainDialog::saveBlocksAs);
    fillBlockMenu(ui->pbCalcHash, &MainDialog::hashBlocks);
}

QList<int> MainDialog::selectBlocks(const QString &title)
{
    BlockRangeList chosen;
    const auto *action = qobject_cast<QAction *>(sender());
    const QVariant data = action ? action->data() : QVariant();
    if (data.metaType() == QMetaType::fromType<BlockRangeList>())
        chosen = data.value<BlockRangeList>();
    else
        chosen = blockSelection->selectRanges(title);

    recordRangeList(rangeHistory, chosen);
    updateBlockMenus();
    return chosen.toBlocks();
}

void MainDialog::requestOnBlocks(const QString &title, AProgrammer::OperationKind kind)
{
    const QList<int> blocks = selectBlocks(title);
    if (!blocks.isEmpty())
        engine->request(kind, BlockScope::chosen(blocks));
}

void MainDialog::autoProgramBlocks()
{
    requestOnBlocks(tr("Select block ranges to program"), AProgrammer::AutoProgram);
}

void MainDialog::programBlocks()
{
    requestOnBlocks(tr("Select block ranges to program"), AProgrammer::Program);
}

void MainDialog::eraseBlocks()
{
    const QList<int> blocks = selectBlocks(tr("Select block ranges to erase"));
    if (blocks.isEmpty())
        return;
    const BlockScope scope = BlockScope::chosen(blocks);
    if (scope.kind() == BlockScope::List || confirmWholeErase())
        engine->request(AProgrammer::Erase, scope);
}

void MainDialog::readBlocks()
{
    if (!confirmBufferReplaced())
        return;
    const QList<int> blocks = selectBlocks(tr("Select block ranges to read"));
    if (blocks.isEmpty())
        return;
    const bool accepted = engine->request(AProgrammer::Read, BlockScope::chosen(blocks));
    if (accepted)
        phasesBeforeRead = 0;
    setBufferLabel(accepted ? tr("<b>Buffer contains data from Flash</b>")
                            : tr("<b>Buffer may contain some corrupted data</b>"));
}

void MainDialog::verifyBlocks()
{
    requestOnBlocks(tr("Select block ranges to verify"), AProgrammer::Verify);
}

void MainDialog::checkBlocks()
{
    requestOnBlocks(tr("Select block ranges to check"), AProgrammer::Check);
}

void MainDialog::hashBlocks()
{
    requestOnBlocks(tr("Select block ranges to check"), AProgrammer::CalcHash);
}

void MainDialog::saveBlocksAs()
{
    const QList<int> blocks = selectBlocks(tr("Select block ranges to save"));
    if (!blocks.isEmpty())
        saveFileAs(blocks);
}
