#include "dialogs/exitdialog.h"

#include "ui_exitdialog.h"

#include <QCoreApplication>

ExitDialog::ExitDialog(QWidget *parent) : QDialog(parent), ui(new Ui::ExitDialog)
{
    setWindowTitle(QCoreApplication::applicationName());
    ui->setupUi(this);
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

void ExitDialog::setOperationRunning(bool running)
{
    const QString question = tr("Are you sure want to close?");
    ui->label->setText(running ? tr("An operation is running: closing aborts it.") +
                                     QLatin1Char('\n') + question
                               : question);
}
