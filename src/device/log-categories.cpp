#include "log-categories.h"

Q_LOGGING_CATEGORY(lcDevice, "frostgauge.device")
Q_LOGGING_CATEGORY(lcFirmware, "frostgauge.firmware")
Q_LOGGING_CATEGORY(lcUi, "frostgauge.ui")
