#include "dialogs/exitdialog.h"

#include "ui_exitdialog.h"

#include <QCoreApplication>

ExitDialog::ExitDialog(QWidget *parent) : QDialog(parent), ui(new Ui::ExitDialog)
{
    setWindowTitle(QCoreApplication::applicationName());
    ui->setupUi(this);
    setUnsavedBuffer(false);
    setOperationRunning(false);
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
    showWarning(ui->lbUnsavedBuffer, unsaved);
}

void ExitDialog::setOperationRunning(bool running)
{
    showWarning(ui->lbOperationRunning, running);
}

void ExitDialog::showWarning(QWidget *warning, bool shown)
{
    warning->setHidden(!shown);
    if (shown)
        resize(width(), qMax(height(), sizeHint().height()));
}
