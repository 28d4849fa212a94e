#pragma once

#include <QString>

class QMenu;

// `text` as a menu entry shows it: an ampersand would otherwise mark the next character as the
// entry's shortcut key and disappear.
QString menuEntryText(const QString &text);

// Removes every entry from `menu`. The entries are deleted once control returns to the event
// loop, because the entry that was just chosen may still be delivering its signal.
void clearMenu(QMenu *menu);
