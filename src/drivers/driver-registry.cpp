#include "drivers/driver-registry.h"

#include "drivers/line/line-driver.h"
#include "drivers/vkrhx350/vkrhx350-driver.h"

QStringList instrumentDriverNames()
{
    return {QLatin1String(DefaultInstrumentDriver), QLatin1String(LineInstrumentDriver)};
}

InstrumentDriver *createInstrumentDriver(const QString &name, const DriverOptions &options, QObject *parent)
{
    if (name == QLatin1String(DefaultInstrumentDriver))
        return new Vkrhx350Driver(options, parent);
    if (name == QLatin1String(LineInstrumentDriver))
        return new LineDriver(options, parent);
    return nullptr;
}
