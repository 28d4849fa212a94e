#include "nand/logging.h"

Q_LOGGING_CATEGORY(lcNand, "npx4.nand")
