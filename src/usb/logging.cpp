#include "usb/logging.h"

Q_LOGGING_CATEGORY(lcUsb, "npx4.usb")
