#include "support/simtestconfig.h"

#include <QList>

namespace {

QByteArray keyOf(const QByteArray &item)
{
    return item.left(item.indexOf('=')).trimmed();
}

} // namespace

QByteArray simTestConfig(const QByteArray &config)
{
    const QByteArray link = qEnvironmentVariableIsSet("NPX4_TEST_LINK")
                                ? qgetenv("NPX4_TEST_LINK")
                                : QByteArray("link=instant;nand-timing=0:0:0");
    QList<QByteArray> own;
    for (const QByteArray &item : config.split(';')) {
        if (!item.trimmed().isEmpty() && item.trimmed() != "1")
            own.append(item);
    }
    QList<QByteArray> items;
    for (const QByteArray &item : link.split(';')) {
        const bool overridden = std::any_of(
            own.cbegin(), own.cend(), [&](const QByteArray &o) { return keyOf(o) == keyOf(item); });
        if (!item.trimmed().isEmpty() && !overridden)
            items.append(item);
    }
    return (items + own).join(';');
}
