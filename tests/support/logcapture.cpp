#include "support/logcapture.h"

#include <QLoggingCategory>
#include <QMutex>

namespace {

QMutex captureMutex;
QByteArray capturedCategory;
QStringList captured;
QtMessageHandler previousHandler = nullptr;
QLoggingCategory::CategoryFilter previousFilter = nullptr;

void enableCaptured(QLoggingCategory *category)
{
    if (previousFilter)
        previousFilter(category);
    if (capturedCategory == category->categoryName())
        category->setEnabled(QtDebugMsg, true);
}

void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && capturedCategory == context.category) {
        QMutexLocker locker(&captureMutex);
        captured.append(message);
        return;
    }
    previousHandler(type, context, message);
}

} // namespace

LogCapture::LogCapture(const char *category)
{
    {
        QMutexLocker locker(&captureMutex);
        capturedCategory = category;
        captured.clear();
    }
    previousHandler = qInstallMessageHandler(record);
    previousFilter = QLoggingCategory::installFilter(enableCaptured);
}

LogCapture::~LogCapture()
{
    QLoggingCategory::installFilter(previousFilter);
    qInstallMessageHandler(previousHandler);
    QMutexLocker locker(&captureMutex);
    capturedCategory.clear();
}

QStringList LogCapture::messages() const
{
    QMutexLocker locker(&captureMutex);
    return captured;
}
