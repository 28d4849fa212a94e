#pragma once

#include "app/maindialog.h"
#include "engine/blockrange.h"
#include "sim/simprogrammerset.h"
#include "support/countingdriver.h"

#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <functional>
#include <memory>

class AProgrammer;

// Gives the program its identity and the suite a settings store of its own, away from the user's
// (suites run in parallel).
void setUpWidgetTests();

// Answers the next modal dialog of class `type` from inside its event loop once it shows; one
// that `answer` leaves open is rejected. A dialog that does not show within 20 s fails the test.
void answerModal(const QMetaObject &type, const std::function<void(QDialog *)> &answer);
template <class T>
void answerModal(const std::function<void(T *)> &answer)
{
    answerModal(T::staticMetaObject,
                [answer](QDialog *dialog) { answer(static_cast<T *>(dialog)); });
}
// Answers the next message box with `reply`, adding its text to `texts` if given.
void answerQuestion(QMessageBox::StandardButton reply, QStringList *texts = nullptr);
// Answers the block range selection with `ranges` named `name`.
void answerSelection(const QString &name, const QList<BlockRange> &ranges);
// Gives up the answers still waiting, so that none outlives its test.
void cancelModalAnswers();

// A shown main window on simulated programmers ("programmers=0" for none); it opens programmer
// 0 by itself after 500 ms.
struct WindowRig
{
    explicit WindowRig(const QByteArray &config = "1");

    bool waitConnected() { return waitForLine("Programmer device successfully opened"); }
    // Waits until `count` lines of the log contain `text`.
    bool waitForLine(const QString &text, int count = 1);
    int countLines(const QString &text) const { return int(log().filter(text).size()); }
    QStringList log() const;
    template <class T>
    T *widget(const char *name) const
    {
        return window->findChild<T *>(QLatin1String(name));
    }
    // Entry `index` of the menu of `button`, counted from the end when negative.
    QAction *menuEntry(const char *button, int index) const;

    SimProgrammerSet set;
    CountingDriver driver;
    std::unique_ptr<MainDialog> window; // last: gone before the programmers it uses
    AProgrammer *engine;
};

// Drops `urls` on `window` as the desktop would; returns whether it took them.
bool dropUrls(QWidget *window, const QList<QUrl> &urls);
// A file of one block of data in `dir`; returns its path.
QString writeImageFile(const QString &dir, const QString &name);
