#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class ExitDialog;
}

// Asks the user to confirm closing the program and offers to stop asking. The caller primes it
// with the stored choice, runs it only while asking is on and stores askOnExit() afterwards.
class ExitDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ExitDialog(QWidget *parent = nullptr);
    ~ExitDialog() override;

    // True while "Do not ask again" is unticked.
    bool askOnExit() const;
    void setAskOnExit(bool ask);
    // Whether the dialog also warns that the buffer holds data read from the Flash and not
    // saved; off at first.
    void setUnsavedBuffer(bool unsaved);
    // Whether the dialog also warns that an operation is running and that closing aborts it;
    // off at first.
    void setOperationRunning(bool running);

private:
    // Shows or hides one of the warnings, making room for it.
    void showWarning(QWidget *warning, bool shown);

    std::unique_ptr<Ui::ExitDialog> ui;
};
