#pragma once

#include <QObject>

// Installed on tool buttons whose menu opens when the button is held down (delayed popup): a
// click on the small arrow that the style draws in the button's corner opens the menu at once,
// as the arrow suggests; a click anywhere else stays a plain click.
class MenuArrowClick : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};
