#include "support/windowfixture.h"
#include "support/simtestconfig.h"

#include "app/startup.h"
#include "dialogs/blockselection.h"
#include "engine/aprogrammer.h"
#include "support/enginefixture.h"
#include "usb/programmerbackend.h"

#include <QApplication>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTextBrowser>
#include <QTimer>

void setUpWidgetTests()
{
    QStandardPaths::setTestModeEnabled(true);
    static QTemporaryDir store;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, store.path());
    setApplicationIdentity();
}

void answerModal(const QMetaObject &type, const std::function<void(QDialog *)> &answer)
{
    auto *poll = new QTimer(qApp);
    poll->setObjectName(QStringLiteral("modalAnswer"));
    QElapsedTimer waited;
    waited.start();
    QObject::connect(poll, &QTimer::timeout, [poll, waited, wanted = &type, answer] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        const bool found = dialog && dialog->metaObject()->inherits(wanted);
        if (!found && waited.elapsed() < 20000)
            return;
        poll->deleteLater();
        poll->stop();
        QVERIFY2(found, wanted->className());
        answer(dialog);
        if (dialog->isVisible())
            dialog->reject();
    });
    poll->start(5);
}

void answerQuestion(QMessageBox::StandardButton reply, QStringList *texts)
{
    answerModal<QMessageBox>([reply, texts](QMessageBox *box) {
        if (texts)
            texts->append(box->text());
        if (QAbstractButton *button = box->button(reply))
            button->click();
    });
}

void answerSelection(const QString &name, const QList<BlockRange> &ranges)
{
    answerModal<BlockSelection>([name, ranges](BlockSelection *dialog) {
        for (const BlockRange &range : ranges) {
            dialog->findChild<QSpinBox *>(QStringLiteral("sbFirst"))->setValue(range.first);
            dialog->findChild<QSpinBox *>(QStringLiteral("sbLast"))->setValue(range.last);
            dialog->findChild<QPushButton *>(QStringLiteral("pbAdd"))->click();
        }
        dialog->findChild<QLineEdit *>(QStringLiteral("leName"))->setText(name);
        dialog->accept();
    });
}

void cancelModalAnswers()
{
    qDeleteAll(
        qApp->findChildren<QTimer *>(QStringLiteral("modalAnswer"), Qt::FindDirectChildrenOnly));
}

WindowRig::WindowRig(const QByteArray &config)
    : set(simTestConfig(config)), driver(set.driver()),
      window(std::make_unique<MainDialog>(ProgrammerBackend("sim:" + simTestConfig(config)))),
      engine(window->findChild<AProgrammer *>())
{
    window->show();
}

bool WindowRig::waitForLine(const QString &text, int count)
{
    return QTest::qWaitFor([&] { return countLines(text) >= count; }, 20000);
}

QStringList WindowRig::log() const
{
    return widget<QTextBrowser>("tbLog")->document()->toRawText().split(QChar::ParagraphSeparator);
}

QAction *WindowRig::menuEntry(const char *button, int index) const
{
    const QList<QAction *> entries = widget<QToolButton>(button)->menu()->actions();
    return entries.value(index < 0 ? entries.size() + index : index);
}

bool dropUrls(QWidget *window, const QList<QUrl> &urls)
{
    QMimeData data;
    data.setUrls(urls);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    // Straight to the window: the application passes drops on only during a drag of its own.
    static_cast<QObject *>(window)->event(&drop);
    return drop.isAccepted();
}

QString writeImageFile(const QString &dir, const QString &name)
{
    QFile file(dir + QLatin1Char('/') + name);
    const QByteArray data = blockPattern(1);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        qFatal("cannot write %s", qPrintable(file.fileName()));
    return file.fileName();
}
