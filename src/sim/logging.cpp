#include "sim/logging.h"

Q_LOGGING_CATEGORY(lcSim, "npx4.sim")
