#include "drivers/driver-registry.h"

#include "drivers/vkrhx350/vkrhx350-driver.h"

QStringList instrumentDriverNames()
{
    return {QLatin1String(DefaultInstrumentDriver)};
}

InstrumentDriver *createInstrumentDriver(const QString &name, const DriverOptions &options, QObject *parent)
{
    if (name == QLatin1String(DefaultInstrumentDriver))
        return new Vkrhx350Driver(options, parent);
    return nullptr;
}
