#pragma once

// The program's debug output, by part: QT_LOGGING_RULES="frostgauge.device.debug=true"
// (or =false) picks what is shown. The message texts are those of the design.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcDevice)
Q_DECLARE_LOGGING_CATEGORY(lcFirmware)
Q_DECLARE_LOGGING_CATEGORY(lcUi)
