#include "monitor/monitor-config.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QSysInfo>

#include <cmath>

namespace {

// The shortest period the instrument's RS-232 output takes, and the longest.
constexpr int ShortestPeriodMs = 100;
constexpr int LongestPeriodMs = 1000;

class Checker
{
public:
    Checker(QSettings &settings, const QString &path) : m_settings(settings), m_path(path) {}

    QString error;

    bool fail(const QString &section, const QString &key, const QString &message)
    {
        if (error.isEmpty())
            error = key.isEmpty() ? QStringLiteral("%1: [%2]: %3").arg(m_path, section, message)
                                  : QStringLiteral("%1: [%2] %3: %4").arg(m_path, section, key, message);
        return false;
    }

    // Keys of the section that are not among the known ones are errors.
    bool onlyKnownKeys(const QString &section, const QStringList &known)
    {
        m_settings.beginGroup(section);
        const QStringList keys = m_settings.childKeys();
        const QStringList groups = m_settings.childGroups();
        m_settings.endGroup();
        for (const QString &key : keys) {
            if (!known.contains(key))
                return fail(section, key,
                            QStringLiteral("unknown key (known: %1)").arg(known.join(QStringLiteral(", "))));
        }
        if (!groups.isEmpty())
            return fail(section + QLatin1Char('/') + groups.first(), QString(), QStringLiteral("unknown section"));
        return true;
    }

    bool has(const QString &section, const QString &key)
    {
        return m_settings.contains(section + QLatin1Char('/') + key);
    }

    QString text(const QString &section, const QString &key)
    {
        const QVariant value = m_settings.value(section + QLatin1Char('/') + key);
        // A value with a comma reads as a list: join it back as it was written.
        if (value.type() == QVariant::StringList)
            return value.toStringList().join(QStringLiteral(", "));
        return value.toString().trimmed();
    }

    bool number(const QString &section, const QString &key, double low, double high, double *target)
    {
        bool ok = false;
        const double value = text(section, key).toDouble(&ok);
        if (!ok || !(value >= low && value <= high))
            return fail(section, key, QStringLiteral("takes a number from %1 to %2").arg(low).arg(high));
        *target = value;
        return true;
    }

    bool whole(const QString &section, const QString &key, int low, int high, int *target)
    {
        bool ok = false;
        const int value = text(section, key).toInt(&ok);
        if (!ok || value < low || value > high)
            return fail(section, key, QStringLiteral("takes a whole number from %1 to %2").arg(low).arg(high));
        *target = value;
        return true;
    }

private:
    QSettings &m_settings;
    QString m_path;
};

bool readStore(Checker &check, MonitorConfig *config)
{
    const QString section = QStringLiteral("store");
    if (!check.onlyKnownKeys(section, {QStringLiteral("path"), QStringLiteral("retention_days")}))
        return false;
    config->storePath = check.text(section, QStringLiteral("path"));
    if (config->storePath.isEmpty())
        return check.fail(section, QStringLiteral("path"), QStringLiteral("is missing: where the history is kept"));
    if (check.has(section, QStringLiteral("retention_days")))
        return check.whole(section, QStringLiteral("retention_days"), 1, 36500, &config->retentionDays);
    return true;
}

bool readMqtt(Checker &check, MqttConfig *mqtt)
{
    const QString section = QStringLiteral("mqtt");
    if (!check.onlyKnownKeys(section,
                             {QStringLiteral("host"), QStringLiteral("port"), QStringLiteral("client_id"),
                              QStringLiteral("topic_prefix"), QStringLiteral("qos"), QStringLiteral("username"),
                              QStringLiteral("password_file"), QStringLiteral("ca_file"), QStringLiteral("cert_file"),
                              QStringLiteral("key_file"), QStringLiteral("discovery")}))
        return false;
    mqtt->enabled = true;
    mqtt->host = check.text(section, QStringLiteral("host"));
    if (mqtt->host.isEmpty())
        return check.fail(section, QStringLiteral("host"), QStringLiteral("is missing: the broker's host name"));
    if (check.has(section, QStringLiteral("port"))
        && !check.whole(section, QStringLiteral("port"), 1, 65535, &mqtt->port))
        return false;
    mqtt->clientId = check.text(section, QStringLiteral("client_id"));
    if (mqtt->clientId.isEmpty())
        mqtt->clientId = QStringLiteral("frostgauge-") + QSysInfo::machineHostName();
    if (check.has(section, QStringLiteral("topic_prefix")))
        mqtt->topicPrefix = check.text(section, QStringLiteral("topic_prefix"));
    // Topic wildcards and separators at the ends would make topics no subscriber expects.
    if (mqtt->topicPrefix.isEmpty() || mqtt->topicPrefix.contains(QLatin1Char('+'))
        || mqtt->topicPrefix.contains(QLatin1Char('#')) || mqtt->topicPrefix.startsWith(QLatin1Char('/'))
        || mqtt->topicPrefix.endsWith(QLatin1Char('/')))
        return check.fail(section, QStringLiteral("topic_prefix"),
                          QStringLiteral("takes a topic without + or # and without a leading or trailing /"));
    if (mqtt->clientId.contains(QLatin1Char('+')) || mqtt->clientId.contains(QLatin1Char('#'))
        || mqtt->clientId.contains(QLatin1Char('/')))
        return check.fail(section, QStringLiteral("client_id"), QStringLiteral("may not hold +, # or /"));
    if (check.has(section, QStringLiteral("qos")) && !check.whole(section, QStringLiteral("qos"), 0, 2, &mqtt->qos))
        return false;
    mqtt->username = check.text(section, QStringLiteral("username"));
    mqtt->passwordFile = check.text(section, QStringLiteral("password_file"));
    if (!mqtt->passwordFile.isEmpty() && mqtt->username.isEmpty())
        return check.fail(section, QStringLiteral("password_file"), QStringLiteral("goes with username"));
    mqtt->caFile = check.text(section, QStringLiteral("ca_file"));
    mqtt->certFile = check.text(section, QStringLiteral("cert_file"));
    mqtt->keyFile = check.text(section, QStringLiteral("key_file"));
    for (const auto &file :
         {qMakePair(QStringLiteral("password_file"), mqtt->passwordFile),
          qMakePair(QStringLiteral("ca_file"), mqtt->caFile), qMakePair(QStringLiteral("cert_file"), mqtt->certFile),
          qMakePair(QStringLiteral("key_file"), mqtt->keyFile)}) {
        if (!file.second.isEmpty() && !QFileInfo(file.second).isFile())
            return check.fail(section, file.first, QStringLiteral("%1 is not a file").arg(file.second));
    }
    if ((mqtt->certFile.isEmpty() != mqtt->keyFile.isEmpty()) || (!mqtt->certFile.isEmpty() && mqtt->caFile.isEmpty()))
        return check.fail(section, mqtt->certFile.isEmpty() ? QStringLiteral("key_file") : QStringLiteral("cert_file"),
                          QStringLiteral("a client certificate needs cert_file, key_file and ca_file"));
    const QString discovery = check.text(section, QStringLiteral("discovery"));
    if (!discovery.isEmpty() && discovery != QLatin1String("homeassistant"))
        return check.fail(section, QStringLiteral("discovery"), QStringLiteral("takes homeassistant"));
    mqtt->homeAssistant = !discovery.isEmpty();
    if (mqtt->port == 0)
        mqtt->port = mqtt->tls() ? 8883 : 1883;
    return true;
}

bool readInstrument(Checker &check, const QString &name, MonitorConfig *config)
{
    const QString section = QStringLiteral("instrument/") + name;
    if (!check.onlyKnownKeys(section, {QStringLiteral("port"), QStringLiteral("serial"), QStringLiteral("period"),
                                       QStringLiteral("share")}))
        return false;
    InstrumentConfig instrument;
    instrument.name = name;
    instrument.port = check.text(section, QStringLiteral("port"));
    if (instrument.port.isEmpty())
        return check.fail(section, QStringLiteral("port"),
                          QStringLiteral("is missing: the device path of the instrument"));
    instrument.serial = check.text(section, QStringLiteral("serial"));
    if (check.has(section, QStringLiteral("period"))
        && !check.whole(section, QStringLiteral("period"), ShortestPeriodMs, LongestPeriodMs, &instrument.period))
        return false;
    instrument.share = check.text(section, QStringLiteral("share"));
    if (check.has(section, QStringLiteral("share"))) {
        if (!QDir::isAbsolutePath(instrument.share) || instrument.share.endsWith(QLatin1Char('/')))
            return check.fail(
                section, QStringLiteral("share"),
                QStringLiteral("takes the absolute path of the link to make (/run/frostgauge/%1)").arg(name));
        if (QDir::cleanPath(instrument.share) == QDir::cleanPath(instrument.port))
            return check.fail(section, QStringLiteral("share"), QStringLiteral("is the instrument's port itself"));
    }
    for (const InstrumentConfig &other : qAsConst(config->instruments)) {
        if (other.port == instrument.port)
            return check.fail(section, QStringLiteral("port"),
                              QStringLiteral("%1 is the port of instrument %2 too").arg(instrument.port, other.name));
        if (!instrument.share.isEmpty() && QDir::cleanPath(other.share) == QDir::cleanPath(instrument.share))
            return check.fail(
                section, QStringLiteral("share"),
                QStringLiteral("%1 is the shared port of instrument %2 too").arg(instrument.share, other.name));
    }
    config->instruments.append(instrument);
    return true;
}

bool readAlarm(Checker &check, const QString &name, MonitorConfig *config)
{
    const QString section = QStringLiteral("alarm/") + name;
    if (!check.onlyKnownKeys(section, {QStringLiteral("instrument"), QStringLiteral("above"), QStringLiteral("below"),
                                       QStringLiteral("hysteresis"), QStringLiteral("hold"), QStringLiteral("silence"),
                                       QStringLiteral("lost"), QStringLiteral("command")}))
        return false;
    AlarmConfig alarm;
    alarm.name = name;
    alarm.instrument = check.text(section, QStringLiteral("instrument"));
    bool known = false;
    for (const InstrumentConfig &instrument : qAsConst(config->instruments))
        known = known || instrument.name == alarm.instrument;
    if (!known)
        return check.fail(section, QStringLiteral("instrument"),
                          alarm.instrument.isEmpty()
                              ? QStringLiteral("is missing: the instrument the alarm watches")
                              : QStringLiteral("no [instrument/%1] section").arg(alarm.instrument));

    // Temperatures up to ten million kelvin, periods up to a day.
    const double hottest = 1e7;
    alarm.hasAbove = check.has(section, QStringLiteral("above"));
    alarm.hasBelow = check.has(section, QStringLiteral("below"));
    const bool silence = check.has(section, QStringLiteral("silence"));
    const bool lost = check.has(section, QStringLiteral("lost"));
    const int kinds = int(alarm.hasAbove || alarm.hasBelow) + int(silence) + int(lost);
    if (kinds != 1)
        return check.fail(section, QString(),
                          QStringLiteral("give one of above/below, silence or lost (%1 given)").arg(kinds));
    if (alarm.hasAbove && !check.number(section, QStringLiteral("above"), -hottest, hottest, &alarm.above))
        return false;
    if (alarm.hasBelow && !check.number(section, QStringLiteral("below"), -hottest, hottest, &alarm.below))
        return false;
    if (alarm.hasAbove && alarm.hasBelow && alarm.below >= alarm.above)
        return check.fail(section, QStringLiteral("below"), QStringLiteral("must be lower than above"));
    if (check.has(section, QStringLiteral("hysteresis"))) {
        if (!alarm.hasAbove && !alarm.hasBelow)
            return check.fail(section, QStringLiteral("hysteresis"), QStringLiteral("goes with above or below"));
        if (!check.number(section, QStringLiteral("hysteresis"), 0, hottest, &alarm.hysteresis))
            return false;
    }
    if (check.has(section, QStringLiteral("hold"))
        && !check.number(section, QStringLiteral("hold"), 0, 86400, &alarm.holdSeconds))
        return false;
    if (silence) {
        alarm.kind = AlarmConfig::Silence;
        if (!check.number(section, QStringLiteral("silence"), 0.1, 86400, &alarm.silenceSeconds))
            return false;
    } else if (lost) {
        alarm.kind = AlarmConfig::Lost;
        const QString value = check.text(section, QStringLiteral("lost")).toLower();
        if (value != QLatin1String("true") && value != QLatin1String("yes"))
            return check.fail(section, QStringLiteral("lost"),
                              QStringLiteral("takes true (an alarm while the instrument is lost)"));
    }
    alarm.command = check.text(section, QStringLiteral("command"));
    if (check.has(section, QStringLiteral("command")) && alarm.command.isEmpty())
        return check.fail(section, QStringLiteral("command"), QStringLiteral("is empty"));
    config->alarms.append(alarm);
    return true;
}

} // namespace

bool readMonitorConfig(const QString &path, MonitorConfig *config, QString *error)
{
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable()) {
        *error = QStringLiteral("%1: %2").arg(path, info.exists() ? QStringLiteral("not a readable file")
                                                                  : QStringLiteral("no such file"));
        return false;
    }
    if (info.size() > 1024 * 1024) {
        *error = QStringLiteral("%1: %2 bytes, too large for a configuration").arg(path).arg(info.size());
        return false;
    }
    try {
        QSettings settings(path, QSettings::IniFormat);
        if (settings.status() != QSettings::NoError) {
            *error = QStringLiteral("%1: not a readable INI file").arg(path);
            return false;
        }
        Checker check(settings, path);
        *config = MonitorConfig();
        bool ok = true;
        const QStringList general = settings.childKeys();
        if (!general.isEmpty())
            ok = check.fail(QStringLiteral("General"), general.first(),
                            QStringLiteral("unknown key outside any section"));
        const QStringList sections = settings.childGroups();
        for (const QString &section : sections) {
            if (!ok)
                break;
            if (section != QLatin1String("store") && section != QLatin1String("instrument")
                && section != QLatin1String("alarm") && section != QLatin1String("mqtt"))
                ok = check.fail(section, QString(),
                                QStringLiteral("unknown section (known: store, mqtt, instrument/NAME, alarm/NAME)"));
        }
        if (ok && !sections.contains(QStringLiteral("store")))
            ok = check.fail(QStringLiteral("store"), QString(), QStringLiteral("is missing"));
        ok = ok && readStore(check, config);
        if (ok && sections.contains(QStringLiteral("mqtt")))
            ok = readMqtt(check, &config->mqtt);
        for (const char *group : {"instrument", "alarm"}) {
            settings.beginGroup(QLatin1String(group));
            const QStringList names = settings.childGroups();
            const QStringList stray = settings.childKeys();
            settings.endGroup();
            if (ok && !stray.isEmpty())
                ok = check.fail(QLatin1String(group), stray.first(),
                                QStringLiteral("sections are [%1/NAME]").arg(QLatin1String(group)));
            for (const QString &name : names) {
                if (!ok)
                    break;
                ok = QLatin1String(group) == QLatin1String("instrument") ? readInstrument(check, name, config)
                                                                         : readAlarm(check, name, config);
            }
        }
        if (ok && config->instruments.isEmpty())
            ok = check.fail(QStringLiteral("instrument/NAME"), QString(), QStringLiteral("no instrument to watch"));
        *error = check.error;
        return ok;
    } catch (...) {
        // Qt's INI reader throws on some encoded values.
        *error = QStringLiteral("%1: a value cannot be read").arg(path);
        return false;
    }
}
