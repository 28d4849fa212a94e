#pragma once

#include <QByteArray>
#include <QStringList>
#include <QtMessageHandler>

// Records the messages of one logging category, debug lines included, while it lives; the
// messages of other categories go on to the handler that was installed before. One capture
// at a time.
class LogCapture
{
public:
    explicit LogCapture(const char *category);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList messages() const;
    bool contains(const QString &message) const { return messages().contains(message); }
};
