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
    case WrongGeometry:
        return QStringLiteral("wrong-geometry");
    case TooManyBadBlocks:
        return QStringLiteral("too-many-bad-blocks");
    case Failed:
        break;
    }
    return QStringLiteral("failed");
}
