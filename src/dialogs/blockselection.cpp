#include "dialogs/blockselection.h"

#include "ui_blockselection.h"

#include <QShowEvent>
#include <QSignalBlocker>

BlockSelection::BlockSelection(QWidget *parent) : QDialog(parent), ui(new Ui::BlockSelection)
{
    ui->setupUi(this);
    connect(ui->pbAdd, &QPushButton::clicked, this, &BlockSelection::addItem);
    connect(ui->pbRemove, &QPushButton::clicked, this, &BlockSelection::removeItem);
    connect(ui->tbBlocks, &QTableWidget::cellChanged, this, &BlockSelection::cellChanged);
    connect(ui->leName, &QLineEdit::textEdited, this, &BlockSelection::nameChanged);
}

BlockSelection::~BlockSelection() = default;

BlockRangeList BlockSelection::selectRanges(const QString &title)
{
    setWindowTitle(title.isEmpty() ? tr("Select block ranges") : title);
    if (exec() != QDialog::Accepted)
        return BlockRangeList();
    return ranges();
}

BlockRangeList BlockSelection::ranges() const
{
    BlockRangeList list(ui->leName->text());
    for (int row = 0; row < ui->tbBlocks->rowCount(); ++row) {
        const std::optional<int> first = cellBlock(row, 0);
        const std::optional<int> last = cellBlock(row, 1);
        if (first && last)
            list.addRange(BlockRange(*first, *last));
    }
    return list;
}

void BlockSelection::showEvent(QShowEvent *event)
{
    // A spontaneous show event only brings the window back (from minimised, for instance): what
    // the user entered stays. Every new showing starts afresh.
    if (!event->spontaneous()) {
        ui->leName->clear();
        ui->tbBlocks->setRowCount(0);
        ui->sbFirst->setValue(0);
        ui->sbLast->setValue(lastBlock);
        autoName = true;
    }
    QDialog::showEvent(event);
}

void BlockSelection::addItem()
{
    BlockRangeList list = ranges();
    list.addRange(BlockRange(ui->sbFirst->value(), ui->sbLast->value()));
    {
        // The table is rewritten as a whole; the name follows once, at the end.
        const QSignalBlocker blocker(ui->tbBlocks);
        ui->tbBlocks->setRowCount(int(list.ranges.size()));
        for (int row = 0; row < list.ranges.size(); ++row) {
            setCell(row, 0, list.ranges.at(row).first);
            setCell(row, 1, list.ranges.at(row).last);
        }
    }
    blocksChanged();
}

void BlockSelection::removeItem()
{
    const int row = ui->tbBlocks->currentRow();
    if (row >= 0)
        ui->tbBlocks->removeRow(row);
    blocksChanged();
}

void BlockSelection::blocksChanged()
{
    if (autoName)
        ui->leName->setText(tr("Custom (%1)").arg(ranges().toString()));
}

void BlockSelection::cellChanged(int, int)
{
    blocksChanged();
}

void BlockSelection::nameChanged(const QString &)
{
    autoName = false;
}

std::optional<int> BlockSelection::cellBlock(int row, int column) const
{
    const QTableWidgetItem *item = ui->tbBlocks->item(row, column);
    if (!item)
        return std::nullopt;
    bool ok = false;
    const int block = item->text().toInt(&ok, 10);
    // A number typed into the table beyond the flash would name blocks that do not exist, and a
    // huge range would later be expanded block by block.
    if (!ok || block < 0 || block > lastBlock)
        return std::nullopt;
    return block;
}

void BlockSelection::setCell(int row, int column, int block)
{
    ui->tbBlocks->setItem(row, column, new QTableWidgetItem(QString::number(block)));
}
