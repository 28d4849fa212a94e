#include "dialogs/exitdialog.h"

#include "ui_exitdialog.h"

#include <QCoreApplication>

ExitDialog::ExitDialog(QWidget *parent) : QDialog(parent), ui(new Ui::ExitDialog)
{
    setWindowTitle(QCoreApplication::applicationName());
    ui->setupUi(this);
    setUnsavedBuffer(false);
}

ExitDialog::~ExitDialog() = default;

bool ExitDialog::askOnExit() const
{
    return !ui->checkBox->isChecked();
}

void ExitDialog::setAskOnExit(bool ask)
{
    ui->checkBox->setChecked(!ask);
}

void ExitDialog::setUnsavedBuffer(bool unsaved)
{
    ui->lbUnsavedBuffer->setHidden(!unsaved);
    if (unsaved)
        resize(width(), qMax(height(), sizeHint().height()));
}
