#pragma once

#include "engine/blockrange.h"

#include <QDialog>
#include <memory>
#include <optional>

namespace Ui {
class BlockSelection;
}

// Lets the user compose one named list of block ranges: ranges are entered with two spin boxes
// and collected in a table. Until the user types a name, the list is named after its contents.
class BlockSelection : public QDialog
{
    Q_OBJECT

public:
    explicit BlockSelection(QWidget *parent = nullptr);
    ~BlockSelection() override;

    // Runs the dialog modally under `title` (a default title when it is empty). Returns the
    // entered list when accepted, an unnamed list without ranges otherwise.
    BlockRangeList selectRanges(const QString &title = QString());
    // The list the widgets describe, in normal form. A table row counts only when both of its
    // cells hold a block number.
    BlockRangeList ranges() const;

protected:
    void showEvent(QShowEvent *event) override;

private slots:
    void addItem();
    void removeItem();
    void blocksChanged();
    void cellChanged(int row, int column);
    void nameChanged(const QString &text);

private:
    // The block number in a table cell; nothing when the cell is missing, is not a decimal
    // number or lies outside 0 to lastBlock.
    std::optional<int> cellBlock(int row, int column) const;
    void setCell(int row, int column, int block);

    std::unique_ptr<Ui::BlockSelection> ui;
    int lastBlock = 1023;
    bool autoName = true;
};
