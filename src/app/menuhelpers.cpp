#include "app/menuhelpers.h"

#include <QAction>
#include <QMenu>

QString menuEntryText(const QString &text)
{
    QString escaped = text;
    return escaped.replace(QLatin1Char('&'), QLatin1String("&&"));
}

void clearMenu(QMenu *menu)
{
    const QList<QAction *> entries = menu->actions();
    for (QAction *entry : entries) {
        menu->removeAction(entry);
        if (entry->parent() == menu)
            entry->deleteLater();
    }
}
