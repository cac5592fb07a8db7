#include "version-compare.h"

#include <QStringList>

bool isFirmwareUpgrade(const QString &deviceVersion, const QString &imageVersion)
{
    QStringList device = deviceVersion.split(QLatin1Char('.'));
    QStringList image = imageVersion.split(QLatin1Char('.'));
    const int count = qMax(device.size(), image.size());
    while (device.size() < count)
        device << QStringLiteral("0");
    while (image.size() < count)
        image << QStringLiteral("0");
    for (int i = 0; i < count; ++i) {
        const int devicePart = device.at(i).toInt(nullptr, 10);
        const int imagePart = image.at(i).toInt(nullptr, 10);
        if (devicePart < imagePart)
            return true;
        if (devicePart > imagePart)
            return false;
    }
    return true;
}

QString firmwareUpgradeQuestion(const QString &deviceVersion, const QString &imageVersion)
{
    const QString word =
        isFirmwareUpgrade(deviceVersion, imageVersion) ? QStringLiteral("Upgrade") : QStringLiteral("Downgrade");
    return word + QLatin1String(" firmware from version ") + deviceVersion + QLatin1String(" to version ")
           + imageVersion + QLatin1Char('?');
}
