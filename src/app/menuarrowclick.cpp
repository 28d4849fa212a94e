#include "app/menuarrowclick.h"

#include <QMenu>
#include <QMouseEvent>
#include <QStyle>
#include <QToolButton>

bool MenuArrowClick::eventFilter(QObject *watched, QEvent *event)
{
    auto *button = qobject_cast<QToolButton *>(watched);
    if (!button || event->type() != QEvent::MouseButtonPress || !button->isEnabled() ||
        !button->menu() || button->popupMode() != QToolButton::DelayedPopup)
        return QObject::eventFilter(watched, event);
    const auto *press = static_cast<QMouseEvent *>(event);
    // The arrow sits in the lower right corner; the strip above it counts too, so that the
    // small mark is easy to hit.
    const int arrowWidth =
        button->style()->pixelMetric(QStyle::PM_MenuButtonIndicator, nullptr, button);
    if (press->button() != Qt::LeftButton || press->position().x() < button->width() - arrowWidth)
        return QObject::eventFilter(watched, event);
    button->showMenu();
    return true;
}
