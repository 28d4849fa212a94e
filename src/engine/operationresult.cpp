#include "engine/operationresult.h"

QString OperationResult::statusKey(Status status)
{
    switch (status) {
    case Complete:
        return QStringLiteral("complete");
    case Aborted:
        return QStringLiteral("aborted");
    case NoChip:
        return QStringLiteral("no-chip");
    case NoFlashImage:
        return QStringLiteral("no-flash-image");
    case NoBufferImage:
        return QStringLiteral("no-buffer-image");
    case Failed:
        break;
    }
    return QStringLiteral("failed");
}
