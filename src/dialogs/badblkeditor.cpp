#include "dialogs/badblkeditor.h"

#include "ui_badblkeditor.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QSet>
#include <QSpinBox>
#include <algorithm>

BadBlkEditor *BadBlkEditor::instance = nullptr;

namespace {

// The distinct numbers of `from` that `other` does not hold, ascending.
QList<int> missingFrom(const QList<int> &from, const QList<int> &other)
{
    QSet<int> missing(from.cbegin(), from.cend());
    for (int block : other)
        missing.remove(block);
    QList<int> sorted(missing.cbegin(), missing.cend());
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

} // namespace

BadBlkEditor::BadBlkEditor(QWidget *parent)
    : QDialog(parent), ui(new Ui::BadBlkEditor), addDialog(new QDialog(this)),
      spinBox(new QSpinBox(addDialog))
{
    ui->setupUi(this);
    // Equal widths for every digit keep the right-aligned numbers in one column.
    ui->lwBadBlocks->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    // The add dialog is a child so that it opens over the editor and goes with it.
    spinBox->setRange(0, 1023);
    auto *buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, addDialog);
    auto *layout = new QHBoxLayout(addDialog);
    layout->addWidget(spinBox);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, addDialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, addDialog, &QDialog::reject);

    instance = this;
}

BadBlkEditor::~BadBlkEditor()
{
    if (instance == this)
        instance = nullptr;
}

int BadBlkEditor::editBadBlocks(const QString &name, QList<int> &list, Changes *changes,
                                bool readOnly)
{
    if (changes)
        *changes = Changes();
    // Refilling an editor that is already open would throw away the user's edits and hand the
    // other list back to its caller.
    if (!instance || instance->isVisible())
        return 0;
    instance->setReadOnly(readOnly);
    instance->setBadBlockList(list);
    instance->ui->lbChipInfo->setText(name);
    if (instance->exec() != QDialog::Accepted)
        return 0;
    if (readOnly)
        return 1;
    const QList<int> edited = instance->badBlockList();
    if (changes)
        *changes = Changes{missingFrom(edited, list), missingFrom(list, edited)};
    list = edited;
    return 1;
}

void BadBlkEditor::setReadOnly(bool on)
{
    readOnly = on;
    ui->pbAdd->setEnabled(!on);
    const QString hint = on ? tr("Read only mode: untick \"Read only\" in the main window to mark "
                                 "blocks bad")
                            : QString();
    ui->pbAdd->setToolTip(hint);
    ui->pbDel->setToolTip(hint);
}

void BadBlkEditor::setBadBlockList(const QList<int> &list)
{
    ui->lwBadBlocks->clear();
    for (int block : list)
        addBlock(block);
    ui->pbDel->setEnabled(!readOnly && !list.isEmpty());
}

QList<int> BadBlkEditor::badBlockList() const
{
    QList<int> list;
    for (int row = 0; row < ui->lwBadBlocks->count(); ++row)
        list.append(ui->lwBadBlocks->item(row)->text().trimmed().toInt());
    return list;
}

void BadBlkEditor::on_lwBadBlocks_itemSelectionChanged()
{
    ui->pbDel->setEnabled(!readOnly && !ui->lwBadBlocks->selectedItems().isEmpty());
}

void BadBlkEditor::on_pbAdd_clicked()
{
    if (addDialog->exec() == QDialog::Accepted)
        addBlock(spinBox->value());
}

void BadBlkEditor::on_pbDel_clicked()
{
    qDeleteAll(ui->lwBadBlocks->selectedItems());
    ui->pbDel->setEnabled(ui->lwBadBlocks->count() > 0);
}

void BadBlkEditor::addBlock(int block)
{
    // Right-aligned in four places, so that sorting by text sorts 0 to 1023 by number.
    ui->lwBadBlocks->addItem(QStringLiteral("%1").arg(block, 4));
}
