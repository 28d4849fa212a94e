#include "engine/logging.h"

Q_LOGGING_CATEGORY(lcEngine, "npx4.engine")
