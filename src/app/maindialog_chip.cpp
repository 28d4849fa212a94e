// The Bad blocks button's menu: the surface test and the chip checks of writes (the bad-block
// limit and chips of another geometry), kept with the settings.

#include "app/maindialog.h"

#include "app/settingskeys.h"
#include "engine/blockscope.h"
#include "ui_maindialog.h"

#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>

void MainDialog::setUpChipMenu()
{
    auto *menu = new QMenu(ui->pbInfo);
    ui->pbInfo->setMenu(menu);
    connect(menu->addAction(tr("Surface test of the whole Flash...")), &QAction::triggered, this,
            [this] { surfaceTest(BlockScope::wholeFlash()); });
    connect(menu->addAction(tr("Surface test of blocks...")), &QAction::triggered, this, [this] {
        const QList<int> blocks = selectBlocks(tr("Select block ranges to test"));
        if (!blocks.isEmpty())
            surfaceTest(BlockScope::chosen(blocks));
    });
    menu->addSeparator();
    forceGeometryAction = menu->addAction(tr("Write to chips of another geometry"));
    forceGeometryAction->setCheckable(true);
    connect(forceGeometryAction, &QAction::toggled, engine, &AProgrammer::setForceGeometry);
    badLimitAction = menu->addAction(QString());
    connect(badLimitAction, &QAction::triggered, this, &MainDialog::chooseBadBlockLimit);

    const QSettings settings;
    forceGeometryAction->setChecked(settings.value(SettingsKeys::ForceGeometry, false).toBool());
    setBadBlockLimit(settings.value(SettingsKeys::BadBlockLimit, -1).toInt());
}

void MainDialog::writeChipSettings(QSettings &settings) const
{
    settings.setValue(SettingsKeys::ForceGeometry, forceGeometryAction->isChecked());
    settings.setValue(SettingsKeys::BadBlockLimit, badBlockLimit);
}

void MainDialog::setBadBlockLimit(int limit)
{
    badBlockLimit = qBound(-1, limit, engine->blockCount());
    engine->setBadBlockLimit(badBlockLimit);
    badLimitAction->setText(badBlockLimit < 0 ? tr("Bad-block limit: the chip's datasheet...")
                                              : tr("Bad-block limit: %1...").arg(badBlockLimit));
}

void MainDialog::chooseBadBlockLimit()
{
    bool ok = false;
    const int limit = QInputDialog::getInt(
        this, tr("Bad-block limit"),
        tr("Most bad blocks a chip may have to be written\n(-1: the limit of the chip's "
           "datasheet, none for unknown chips):"),
        badBlockLimit, -1, engine->blockCount(), 1, &ok);
    if (ok)
        setBadBlockLimit(limit);
}

void MainDialog::surfaceTest(const BlockScope &scope)
{
    QMessageBox question(QMessageBox::Question, tr("Surface test"),
                         tr("The surface test overwrites the tested blocks and leaves them "
                            "erased.\n\nMark the blocks that fail it as bad?"),
                         QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, this);
    question.setDefaultButton(QMessageBox::No);
    const int answer = question.exec();
    if (answer == QMessageBox::Cancel)
        return;
    engine->request(AProgrammer::SurfaceTest, scope,
                    answer == QMessageBox::Yes ? AProgrammer::MarkFailed : AProgrammer::NoOption);
}
