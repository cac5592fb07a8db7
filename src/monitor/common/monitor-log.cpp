#include "monitor/common/monitor-log.h"

Q_LOGGING_CATEGORY(lcMonitor, "frostgauge.monitor", QtInfoMsg)
