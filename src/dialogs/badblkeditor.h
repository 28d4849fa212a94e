#pragma once

#include <QDialog>
#include <QList>
#include <memory>

class QSpinBox;

namespace Ui {
class BadBlkEditor;
}

// Shows a chip's name and its list of bad block numbers and lets the user add and delete
// numbers. One instance, created at program start, serves every editBadBlocks() call.
class BadBlkEditor : public QDialog
{
    Q_OBJECT

public:
    // How an accepted list differs from the one it was made from, as distinct block numbers in
    // ascending order. Only added blocks call for work on the chip (marking them bad); removing
    // a number from the list does not make a block good again.
    struct Changes
    {
        QList<int> added;
        QList<int> removed;
    };

    explicit BadBlkEditor(QWidget *parent = nullptr);
    ~BadBlkEditor() override;

    // Shows `list` for the chip `name` in the live editor, modally. Returns 1 when the user
    // accepts: `list` becomes the edited list and `changes`, when given, what was added and
    // removed. Returns 0, with `list` unchanged and `changes` empty, when the user cancels, when
    // no editor exists or when the editor is already open for another list. With `readOnly` the
    // list is only shown: it cannot be edited, and `list` and `changes` stay as they are.
    static int editBadBlocks(const QString &name, QList<int> &list, Changes *changes = nullptr,
                             bool readOnly = false);

    // Lists every entry, duplicates included, in ascending order.
    void setBadBlockList(const QList<int> &list);
    QList<int> badBlockList() const;

private slots:
    void on_lwBadBlocks_itemSelectionChanged();
    void on_pbAdd_clicked();
    void on_pbDel_clicked();

private:
    void addBlock(int block);
    void setReadOnly(bool on);

    std::unique_ptr<Ui::BadBlkEditor> ui;
    QDialog *addDialog;
    QSpinBox *spinBox;
    bool readOnly = false;

    static BadBlkEditor *instance;
};
