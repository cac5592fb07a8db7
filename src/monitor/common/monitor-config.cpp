#include "monitor/common/monitor-config.h"

#include "common/ini-file.h"
#include "monitor/common/http-users.h"

#include "device/port-list.h"
#include "drivers/driver-registry.h"
#include "drivers/port-stream.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSysInfo>
#include <QUrl>

#include <arpa/inet.h>
#include <cmath>
#include <netinet/in.h>

QString HttpListen::text() const
{
    return (address.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2"))
        .arg(address)
        .arg(port);
}

namespace {

// The shortest period the instrument's RS-232 output takes, and the longest.
constexpr int ShortestPeriodMs = 100;
constexpr int LongestPeriodMs = 1000;
// A line instrument is asked at most ten times a second and at least once an hour.
constexpr int LongestPollPeriodMs = 3600 * 1000;

class Checker
{
public:
    Checker(const IniFile &file, const QString &path) : m_file(file), m_path(path) {}

    QString error;

    bool fail(const QString &section, const QString &key, const QString &message)
    {
        if (!error.isEmpty())
            return false;
        const IniEntry *entry = find(section, key);
        const QString line = entry ? QStringLiteral(" (line %1)").arg(entry->line) : QString();
        error = key.isEmpty() ? QStringLiteral("%1: [%2]: %3").arg(m_path, section, message)
                              : QStringLiteral("%1: [%2] %3: %4%5").arg(m_path, section, key, message, line);
        return false;
    }

    // Keys of the section that are not among the known ones are errors.
    bool onlyKnownKeys(const QString &section, const QStringList &known)
    {
        const IniSection *found = m_file.find(section);
        if (!found)
            return true;
        for (const IniEntry &entry : found->entries) {
            if (!known.contains(entry.key))
                return fail(section, entry.key,
                            QStringLiteral("unknown key (known: %1)").arg(known.join(QStringLiteral(", "))));
        }
        return true;
    }

    bool has(const QString &section, const QString &key) const { return find(section, key); }

    QString text(const QString &section, const QString &key) const
    {
        const IniEntry *entry = find(section, key);
        return entry ? entry->value : QString();
    }

    // Opened here as the service will, so that a file it may not read fails
    // the check and not the service an hour later; head gets its first 64 KiB.
    bool readableFile(const QString &section, const QString &key, const QString &path, QByteArray *head = nullptr)
    {
        if (!QFileInfo(path).isFile())
            return fail(section, key, QStringLiteral("%1 is not a file").arg(path));
        QFile opened(path);
        if (!opened.open(QIODevice::ReadOnly))
            return fail(section, key, QStringLiteral("%1 cannot be read: %2").arg(path, opened.errorString()));
        if (head)
            *head = opened.read(64 * 1024);
        return true;
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
    const IniEntry *find(const QString &section, const QString &key) const
    {
        const IniSection *found = m_file.find(section);
        return found && !key.isEmpty() ? found->find(key) : nullptr;
    }

    const IniFile &m_file;
    QString m_path;
};

// Instrument and alarm names become topic levels and log words as written:
// nothing that MQTT reads as a wildcard or separator, no control character,
// and not the monitor's own level.
QString nameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("a name is needed after the /");
    for (const QChar c : name) {
        if (c == QLatin1Char('+') || c == QLatin1Char('#') || c == QLatin1Char('/'))
            return QStringLiteral("a name may not hold +, # or / (it is an MQTT topic level)");
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return QStringLiteral("a name may not hold control characters");
    }
    if (name == QLatin1String("monitor"))
        return QStringLiteral("monitor is the monitor's own topic level; choose another name");
    return QString();
}

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

// Topic wildcards and separators at the ends would make topics no subscriber expects.
bool topicPrefixOk(Checker &check, const QString &section, const QString &prefix)
{
    if (prefix.isEmpty() || prefix.contains(QLatin1Char('+')) || prefix.contains(QLatin1Char('#'))
        || prefix.startsWith(QLatin1Char('/')) || prefix.endsWith(QLatin1Char('/')))
        return check.fail(section, QStringLiteral("topic_prefix"),
                          QStringLiteral("takes a topic without + or # and without a leading or trailing /"));
    return true;
}

bool clientIdOk(Checker &check, const QString &section, const QString &clientId)
{
    if (clientId.contains(QLatin1Char('+')) || clientId.contains(QLatin1Char('#'))
        || clientId.contains(QLatin1Char('/')))
        return check.fail(section, QStringLiteral("client_id"), QStringLiteral("may not hold +, # or /"));
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
    if (!topicPrefixOk(check, section, mqtt->topicPrefix) || !clientIdOk(check, section, mqtt->clientId))
        return false;
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
        if (!file.second.isEmpty() && !check.readableFile(section, file.first, file.second))
            return false;
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

// Label names an engine takes, and none of those the monitor sets itself.
bool readRemoteLabels(Checker &check, const QString &section, RemoteWriteConfig *remote)
{
    static const QRegularExpression labelName(QStringLiteral("^[a-zA-Z_][a-zA-Z0-9_]*$"));
    const QStringList own{QStringLiteral("__name__"), QStringLiteral("instrument"), QStringLiteral("channel"),
                          QStringLiteral("unit"),     QStringLiteral("source"),     QStringLiteral("monitor")};
    const QString text = check.text(section, QStringLiteral("labels"));
    if (text.trimmed().isEmpty())
        return true;
    for (const QString &pair : text.split(QLatin1Char(','))) {
        const int equals = pair.indexOf(QLatin1Char('='));
        const QString name = pair.left(equals).trimmed();
        const QString value = pair.mid(equals + 1).trimmed();
        if (equals <= 0 || value.isEmpty() || !labelName.match(name).hasMatch() || name.startsWith(QLatin1String("__")))
            return check.fail(section, QStringLiteral("labels"),
                              QStringLiteral("takes NAME=VALUE pairs separated by commas (facility=north); '%1' is "
                                             "none (a name is letters, digits and _, not starting with a digit or __)")
                                  .arg(pair.trimmed()));
        if (own.contains(name))
            return check.fail(section, QStringLiteral("labels"),
                              QStringLiteral("%1 is a label the monitor sets itself").arg(name));
        remote->labels.append({name, value});
    }
    return true;
}

bool readRemoteWrite(Checker &check, MonitorConfig *config)
{
    const QString section = QStringLiteral("remote_write");
    RemoteWriteConfig &remote = config->remoteWrite;
    if (!check.onlyKnownKeys(section, {QStringLiteral("url"), QStringLiteral("username"),
                                       QStringLiteral("password_file"), QStringLiteral("bearer_token_file"),
                                       QStringLiteral("ca_file"), QStringLiteral("cert_file"),
                                       QStringLiteral("key_file"), QStringLiteral("name"), QStringLiteral("labels")}))
        return false;
    remote.enabled = true;
    remote.url = check.text(section, QStringLiteral("url"));
    const QUrl url(remote.url, QUrl::StrictMode);
    if (remote.url.isEmpty() || !url.isValid() || url.host().isEmpty()
        || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))
        || !url.userInfo().isEmpty())
        return check.fail(section, QStringLiteral("url"),
                          QStringLiteral("takes the engine's http:// or https:// address "
                                         "(http://127.0.0.1:8428/api/v1/write), without a login in it"));
    remote.username = check.text(section, QStringLiteral("username"));
    remote.passwordFile = check.text(section, QStringLiteral("password_file"));
    remote.bearerTokenFile = check.text(section, QStringLiteral("bearer_token_file"));
    if (remote.passwordFile.isEmpty() != remote.username.isEmpty())
        return check.fail(section,
                          remote.username.isEmpty() ? QStringLiteral("password_file") : QStringLiteral("username"),
                          QStringLiteral("username and password_file go together"));
    if (!remote.bearerTokenFile.isEmpty() && !remote.username.isEmpty())
        return check.fail(section, QStringLiteral("bearer_token_file"),
                          QStringLiteral("give a username with password_file, or a bearer_token_file, not both"));
    remote.caFile = check.text(section, QStringLiteral("ca_file"));
    remote.certFile = check.text(section, QStringLiteral("cert_file"));
    remote.keyFile = check.text(section, QStringLiteral("key_file"));
    for (const auto &file :
         {qMakePair(QStringLiteral("password_file"), remote.passwordFile),
          qMakePair(QStringLiteral("bearer_token_file"), remote.bearerTokenFile),
          qMakePair(QStringLiteral("ca_file"), remote.caFile), qMakePair(QStringLiteral("cert_file"), remote.certFile),
          qMakePair(QStringLiteral("key_file"), remote.keyFile)}) {
        QByteArray head;
        if (file.second.isEmpty())
            continue;
        if (!check.readableFile(section, file.first, file.second, &head))
            return false;
        if ((file.first == QLatin1String("password_file") || file.first == QLatin1String("bearer_token_file"))
            && head.trimmed().isEmpty())
            return check.fail(section, file.first, QStringLiteral("%1 is empty").arg(file.second));
        if ((file.first == QLatin1String("ca_file") || file.first == QLatin1String("cert_file")
             || file.first == QLatin1String("key_file"))
            && !head.contains("-----BEGIN "))
            return check.fail(section, file.first, QStringLiteral("%1 is not in PEM form").arg(file.second));
    }
    if (remote.certFile.isEmpty() != remote.keyFile.isEmpty())
        return check.fail(section, remote.certFile.isEmpty() ? QStringLiteral("key_file") : QStringLiteral("cert_file"),
                          QStringLiteral("a client certificate needs cert_file and key_file"));
    if (url.scheme() == QLatin1String("http") && (!remote.passwordFile.isEmpty() || !remote.bearerTokenFile.isEmpty()))
        config->warnings
            << QStringLiteral("[remote_write] url: %1 sends the password in the clear; use https").arg(remote.url);
    remote.monitorName = check.text(section, QStringLiteral("name"));
    if (remote.monitorName.isEmpty())
        remote.monitorName = config->mqtt.enabled ? config->mqtt.clientId : QSysInfo::machineHostName();
    return readRemoteLabels(check, section, &remote);
}

bool parseListen(const QString &text, HttpListen *listen)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    QString address = text.left(colon);
    if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']')))
        address = address.mid(1, address.size() - 2);
    else if (address.contains(QLatin1Char(':')))
        return false; // an IPv6 address goes in brackets
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return false;
    unsigned char bytes[sizeof(struct in6_addr)];
    const QByteArray raw = address.toLatin1();
    if (::inet_pton(AF_INET, raw.constData(), bytes) != 1 && ::inet_pton(AF_INET6, raw.constData(), bytes) != 1)
        return false;
    listen->address = address;
    listen->port = quint16(port);
    return true;
}

bool isLoopback(const QString &address)
{
    return address.startsWith(QLatin1String("127.")) || address == QLatin1String("::1");
}

bool readHttp(Checker &check, MonitorConfig *config)
{
    const QString section = QStringLiteral("http");
    HttpConfig &http = config->http;
    if (!check.onlyKnownKeys(section, {QStringLiteral("listen"), QStringLiteral("password_file"),
                                       QStringLiteral("tls_cert"), QStringLiteral("tls_key")}))
        return false;
    http.enabled = true;
    const QStringList addresses = check.text(section, QStringLiteral("listen"))
                                      .split(QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts);
    if (addresses.isEmpty())
        return check.fail(section, QStringLiteral("listen"),
                          QStringLiteral("is missing: ADDRESS:PORT to serve on (127.0.0.1:8350)"));
    for (const QString &text : addresses) {
        HttpListen listen;
        if (!parseListen(text, &listen))
            return check.fail(section, QStringLiteral("listen"),
                              QStringLiteral("%1 is no ADDRESS:PORT (an IPv4 address, or an IPv6 one in brackets, "
                                             "and a port from 1 to 65535)")
                                  .arg(text));
        for (const HttpListen &other : qAsConst(http.listen)) {
            if (other.address == listen.address && other.port == listen.port)
                return check.fail(section, QStringLiteral("listen"), QStringLiteral("%1 is given twice").arg(text));
        }
        http.listen.append(listen);
    }
    http.passwordFile = check.text(section, QStringLiteral("password_file"));
    if (!http.passwordFile.isEmpty()) {
        QString error;
        if (!readHttpUsers(http.passwordFile, &http.users, &error))
            return check.fail(section, QStringLiteral("password_file"), error);
    }
    http.tlsCert = check.text(section, QStringLiteral("tls_cert"));
    http.tlsKey = check.text(section, QStringLiteral("tls_key"));
    if (http.tlsCert.isEmpty() != http.tlsKey.isEmpty())
        return check.fail(section, http.tlsCert.isEmpty() ? QStringLiteral("tls_cert") : QStringLiteral("tls_key"),
                          QStringLiteral("TLS needs tls_cert and tls_key"));
    for (const auto &file :
         {qMakePair(QStringLiteral("tls_cert"), http.tlsCert), qMakePair(QStringLiteral("tls_key"), http.tlsKey)}) {
        QByteArray head;
        if (file.second.isEmpty())
            continue;
        if (!check.readableFile(section, file.first, file.second, &head))
            return false;
        if (!head.contains("-----BEGIN "))
            return check.fail(section, file.first, QStringLiteral("%1 is not in PEM form").arg(file.second));
    }
    for (const HttpListen &listen : qAsConst(http.listen)) {
        if (isLoopback(listen.address) || (http.tls() && !http.users.isEmpty()))
            continue;
        config->warnings << QStringLiteral("[http] listen: %1 is reachable beyond this computer %2; anyone who "
                                           "reaches it can read the readings")
                                .arg(listen.text(), http.users.isEmpty() ? QStringLiteral("without password_file")
                                                                         : QStringLiteral("without TLS"));
    }
    return true;
}

// A line instrument's protocol file, read whole here: --check shows each
// problem in it with its file, line, section and key.
bool readLineProtocol(Checker &check, const QString &section, InstrumentConfig *instrument)
{
    if (!check.has(section, QStringLiteral("protocol")))
        return check.fail(section, QStringLiteral("protocol"),
                          QStringLiteral("is missing: a line instrument's protocol file (a name or a path)"));
    QString error;
    const QString path = findLineProtocol(check.text(section, QStringLiteral("protocol")), &error);
    if (path.isEmpty() || !loadLineProtocol(path, &instrument->protocol, &error))
        return check.fail(section, QStringLiteral("protocol"), error);
    if (!instrument->serial.isEmpty()
        && !instrument->protocol.identifyReply.namedCaptureGroups().contains(QStringLiteral("serial")))
        return check.fail(section, QStringLiteral("serial"),
                          QStringLiteral("%1 does not say how the instrument tells its serial number (identify_reply "
                                         "with a (?<serial>...) group)")
                              .arg(path));
    if (check.has(section, QStringLiteral("channels"))) {
        const QStringList names = check.text(section, QStringLiteral("channels")).split(QLatin1Char(','));
        for (QString name : names) {
            name = name.trimmed();
            const bool known = std::any_of(instrument->protocol.channels.cbegin(), instrument->protocol.channels.cend(),
                                           [&](const LineChannel &channel) { return channel.name == name; });
            if (!known)
                return check.fail(section, QStringLiteral("channels"),
                                  QStringLiteral("%1 has no channel '%2'").arg(path, name));
            if (!instrument->channels.contains(name))
                instrument->channels << name;
        }
    }
    return true;
}

bool noLineKeys(Checker &check, const QString &section)
{
    for (const QString &key : {QStringLiteral("protocol"), QStringLiteral("channels")}) {
        if (check.has(section, key))
            return check.fail(section, key, QStringLiteral("goes with driver=line"));
    }
    return true;
}

bool readInstrument(Checker &check, const QString &name, MonitorConfig *config)
{
    const QString section = QStringLiteral("instrument/") + name;
    if (!check.onlyKnownKeys(section,
                             {QStringLiteral("driver"), QStringLiteral("port"), QStringLiteral("serial"),
                              QStringLiteral("period"), QStringLiteral("share"), QStringLiteral("maintenance_limit"),
                              QStringLiteral("protocol"), QStringLiteral("channels")}))
        return false;
    InstrumentConfig instrument;
    instrument.name = name;
    if (check.has(section, QStringLiteral("driver"))) {
        instrument.driver = check.text(section, QStringLiteral("driver"));
        if (!instrumentDriverNames().contains(instrument.driver))
            return check.fail(section, QStringLiteral("driver"),
                              QStringLiteral("%1 is not a driver this monitor has (%2)")
                                  .arg(instrument.driver, instrumentDriverNames().join(QLatin1String(", "))));
    }
    instrument.port = check.text(section, QStringLiteral("port"));
    if (instrument.port.isEmpty())
        return check.fail(section, QStringLiteral("port"),
                          QStringLiteral("is missing: the device path of the instrument (or tcp://HOST:PORT)"));
    if (PortStream::isTcp(instrument.port)) {
        QString host;
        quint16 number = 0;
        QString why;
        if (!PortStream::parseTcp(instrument.port, &host, &number, &why))
            return check.fail(section, QStringLiteral("port"), why);
    }
    instrument.serial = check.text(section, QStringLiteral("serial"));
    const bool line = instrument.driver == QLatin1String(LineInstrumentDriver);
    if (check.has(section, QStringLiteral("period"))
        && !check.whole(section, QStringLiteral("period"), ShortestPeriodMs,
                        line ? LongestPollPeriodMs : LongestPeriodMs, &instrument.period))
        return false;
    if (line ? !readLineProtocol(check, section, &instrument) : !noLineKeys(check, section))
        return false;
    if (check.has(section, QStringLiteral("maintenance_limit"))
        && !check.whole(section, QStringLiteral("maintenance_limit"), 1, 86400, &instrument.maintenanceLimitSeconds))
        return false;
    instrument.share = check.text(section, QStringLiteral("share"));
    if (check.has(section, QStringLiteral("share"))) {
        if (!QDir::isAbsolutePath(instrument.share) || instrument.share.endsWith(QLatin1Char('/')))
            return check.fail(
                section, QStringLiteral("share"),
                QStringLiteral("takes the absolute path of the link to make (/run/frostgauge/%1)").arg(name));
        instrument.share = QDir::cleanPath(instrument.share);
    }
    if (line && !instrument.share.isEmpty())
        return check.fail(section, QStringLiteral("share"),
                          QStringLiteral("a line instrument is not shared: a client's questions would take its "
                                         "answers"));
    const QStringList series = instrument.series();
    for (const InstrumentConfig &other : qAsConst(config->instruments)) {
        for (const QString &name : series) {
            if (other.series().contains(name))
                return check.fail(
                    section, line ? QStringLiteral("protocol") : QString(),
                    QStringLiteral("its series %1 is a series of instrument %2 too").arg(name, other.name));
        }
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

// A shared port's link replaces only what the monitor made itself: never a
// device, another instrument's port or a file someone else put there.
bool checkShares(Checker &check, const MonitorConfig &config)
{
    for (const InstrumentConfig &instrument : config.instruments) {
        if (instrument.share.isEmpty())
            continue;
        const QString section = QStringLiteral("instrument/") + instrument.name;
        const QString key = QStringLiteral("share");
        for (const InstrumentConfig &other : config.instruments) {
            if (QDir::cleanPath(other.port) == instrument.share)
                return check.fail(section, key,
                                  other.name == instrument.name
                                      ? QStringLiteral("is the instrument's port itself")
                                      : QStringLiteral("%1 is the port of instrument %2").arg(other.port, other.name));
        }
        if (instrument.share == QLatin1String("/dev") || instrument.share.startsWith(QLatin1String("/dev/")))
            return check.fail(section, key,
                              QStringLiteral("%1 is inside /dev, where devices live").arg(instrument.share));
        const QFileInfo existing(instrument.share);
        if ((existing.exists() || existing.isSymLink()) && !isSharedPortLink(instrument.share))
            return check.fail(
                section, key,
                QStringLiteral("%1 exists and is not a shared port's link; it is left as it is").arg(instrument.share));
    }
    return true;
}

bool readSource(Checker &check, const QString &name, MonitorConfig *config)
{
    const QString section = QStringLiteral("source/") + name;
    if (!check.onlyKnownKeys(
            section, {QStringLiteral("client_id"), QStringLiteral("topic_prefix"), QStringLiteral("instruments")}))
        return false;
    if (!config->mqtt.enabled)
        return check.fail(section, QString(),
                          QStringLiteral("a source is read through the broker of an [mqtt] section, "
                                         "which is missing"));
    SourceConfig source;
    source.name = name;
    source.clientId = check.text(section, QStringLiteral("client_id"));
    if (source.clientId.isEmpty())
        return check.fail(section, QStringLiteral("client_id"),
                          QStringLiteral("is missing: the client_id of the source's monitor"));
    if (!clientIdOk(check, section, source.clientId))
        return false;
    if (check.has(section, QStringLiteral("topic_prefix")))
        source.topicPrefix = check.text(section, QStringLiteral("topic_prefix"));
    if (!topicPrefixOk(check, section, source.topicPrefix))
        return false;
    // This monitor's own topics, or another source's, would be archived twice or mixed up.
    if (source.topicPrefix == config->mqtt.topicPrefix && !config->instruments.isEmpty())
        return check.fail(section, QStringLiteral("topic_prefix"),
                          QStringLiteral("%1 is this monitor's own topic_prefix; each lab's monitor needs a prefix "
                                         "of its own")
                              .arg(source.topicPrefix));
    for (const SourceConfig &other : qAsConst(config->sources)) {
        if (other.topicPrefix == source.topicPrefix)
            return check.fail(
                section, QStringLiteral("topic_prefix"),
                QStringLiteral("%1 is the topic_prefix of source %2 too").arg(source.topicPrefix, other.name));
    }
    if (check.has(section, QStringLiteral("instruments"))) {
        for (const QString &item : check.text(section, QStringLiteral("instruments")).split(QLatin1Char(','))) {
            const QString instrument = item.trimmed();
            const QString problem = nameProblem(instrument);
            if (!problem.isEmpty())
                return check.fail(section, QStringLiteral("instruments"),
                                  instrument.isEmpty() ? QStringLiteral("an empty name in the list") : problem);
            if (source.instruments.contains(instrument))
                return check.fail(section, QStringLiteral("instruments"),
                                  QStringLiteral("%1 is listed twice").arg(instrument));
            source.instruments.append(instrument);
        }
    }
    config->sources.append(source);
    return true;
}

// An alarm's instrument: a local one, or SOURCE/INSTRUMENT of a source that
// archives it. Empty when known, else why not.
QString unknownInstrument(const MonitorConfig &config, const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("is missing: the instrument the alarm watches");
    for (const InstrumentConfig &instrument : config.instruments) {
        if (instrument.series().contains(name))
            return QString();
        if (instrument.name == name)
            return QStringLiteral("%1 has channels: name one (%2)")
                .arg(name, instrument.series().join(QLatin1String(", ")));
    }
    const int slash = name.indexOf(QLatin1Char('/'));
    if (slash < 0)
        return QStringLiteral("no [instrument/%1] section").arg(name);
    const QString remote = name.mid(slash + 1);
    for (const SourceConfig &source : config.sources) {
        if (source.name != name.left(slash))
            continue;
        if (!nameProblem(remote).isEmpty())
            return nameProblem(remote);
        if (!source.instruments.isEmpty() && !source.instruments.contains(remote))
            return QStringLiteral("%1 is not in the instruments= of [source/%2]").arg(remote, source.name);
        return QString();
    }
    return QStringLiteral("no [source/%1] section for %2").arg(name.left(slash), name);
}

bool readAlarm(Checker &check, const QString &name, MonitorConfig *config)
{
    const QString section = QStringLiteral("alarm/") + name;
    if (!check.onlyKnownKeys(section,
                             {QStringLiteral("instrument"), QStringLiteral("above"), QStringLiteral("below"),
                              QStringLiteral("hysteresis"), QStringLiteral("hold"), QStringLiteral("silence"),
                              QStringLiteral("lost"), QStringLiteral("command"), QStringLiteral("command_timeout"),
                              QStringLiteral("repeat"), QStringLiteral("state")}))
        return false;
    AlarmConfig alarm;
    alarm.name = name;
    alarm.instrument = check.text(section, QStringLiteral("instrument"));
    const QString unknown = unknownInstrument(*config, alarm.instrument);
    if (!unknown.isEmpty())
        return check.fail(section, QStringLiteral("instrument"), unknown);

    // Temperatures up to ten million kelvin, periods up to a day.
    const double hottest = 1e7;
    alarm.hasAbove = check.has(section, QStringLiteral("above"));
    alarm.hasBelow = check.has(section, QStringLiteral("below"));
    const bool silence = check.has(section, QStringLiteral("silence"));
    const bool lost = check.has(section, QStringLiteral("lost"));
    alarm.hasState = check.has(section, QStringLiteral("state"));
    const int kinds = int(alarm.hasAbove || alarm.hasBelow) + int(silence) + int(lost) + int(alarm.hasState);
    if (kinds != 1)
        return check.fail(section, QString(),
                          QStringLiteral("give one of above/below, state, silence or lost (%1 given)").arg(kinds));
    if (alarm.hasState) {
        const LineChannel *channel = config->lineChannel(alarm.instrument);
        if (!channel || channel->states.isEmpty())
            return check.fail(section, QStringLiteral("state"),
                              QStringLiteral("%1 is no channel with states=").arg(alarm.instrument));
        alarm.state = check.text(section, QStringLiteral("state"));
        QStringList words;
        for (const auto &state : channel->states) {
            words << state.first;
            if (state.first == alarm.state)
                alarm.stateValue = state.second;
        }
        if (!words.contains(alarm.state))
            return check.fail(section, QStringLiteral("state"),
                              QStringLiteral("%1 is none of the states of %2 (%3)")
                                  .arg(alarm.state, alarm.instrument, words.join(QLatin1String(", "))));
    }
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
    if (check.has(section, QStringLiteral("command_timeout"))) {
        if (alarm.command.isEmpty())
            return check.fail(section, QStringLiteral("command_timeout"), QStringLiteral("goes with command"));
        if (!check.number(section, QStringLiteral("command_timeout"), 1, 86400, &alarm.commandTimeoutSeconds))
            return false;
    }
    if (check.has(section, QStringLiteral("repeat"))) {
        if (alarm.command.isEmpty())
            return check.fail(section, QStringLiteral("repeat"), QStringLiteral("goes with command"));
        if (!check.number(section, QStringLiteral("repeat"), 10, 86400, &alarm.repeatSeconds))
            return false;
    }
    config->alarms.append(alarm);
    return true;
}

} // namespace

QString SeriesInfo::stateWord(double value) const
{
    for (const auto &state : states) {
        if (state.second == value)
            return state.first;
    }
    return QString();
}

QVector<SeriesInfo> MonitorConfig::localSeries() const
{
    QVector<SeriesInfo> all;
    for (const InstrumentConfig &instrument : instruments)
        all += instrument.seriesInfo();
    return all;
}

const LineChannel *MonitorConfig::lineChannel(const QString &series) const
{
    for (const InstrumentConfig &instrument : instruments) {
        if (instrument.driver != QLatin1String(LineInstrumentDriver) || !series.startsWith(instrument.name + ':'))
            continue;
        for (const LineChannel &channel : instrument.protocol.channels) {
            if (channelSeriesName(instrument.name, channel.name) == series)
                return &channel;
        }
    }
    return nullptr;
}

QString MonitorConfig::unitOf(const QString &series) const
{
    const LineChannel *channel = lineChannel(series);
    return channel ? channel->unit : QStringLiteral("K");
}

QString MonitorConfig::valueText(const QString &series, double value) const
{
    const LineChannel *channel = lineChannel(series);
    if (!channel)
        return QStringLiteral("%1 K").arg(value, 0, 'f', 3);
    for (const auto &state : channel->states) {
        if (state.second == value)
            return state.first;
    }
    const QString number = QString::number(value, 'g', 6);
    return channel->unit.isEmpty() ? number : QStringLiteral("%1 %2").arg(number, channel->unit);
}

QVector<SeriesInfo> InstrumentConfig::seriesInfo() const
{
    if (driver != QLatin1String(LineInstrumentDriver))
        return {{name, name, QString(), QStringLiteral("K"), {}}};
    QVector<SeriesInfo> all;
    for (const LineChannel &channel : protocol.channels) {
        if (channels.isEmpty() || channels.contains(channel.name))
            all.append({channelSeriesName(name, channel.name), name, channel.name, channel.unit, channel.states});
    }
    return all;
}

QStringList InstrumentConfig::series() const
{
    QStringList names;
    for (const SeriesInfo &info : seriesInfo())
        names << info.name;
    return names;
}

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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    IniFile ini;
    QString problem;
    if (!parseIni(file.read(1024 * 1024 + 1), &ini, &problem)) {
        *error = QStringLiteral("%1: %2").arg(path, problem);
        return false;
    }
    Checker check(ini, path);
    *config = MonitorConfig();
    config->path = path;

    // Values are taken as written; an encoded form of another program's INI
    // writer would be taken for text and quietly mean something else.
    static const QRegularExpression encoded(QStringLiteral("^@[A-Za-z]+\\("));
    for (const IniSection &section : qAsConst(ini.sections)) {
        for (const IniEntry &entry : section.entries) {
            if (!encoded.match(entry.value).hasMatch())
                continue;
            check.fail(section.name.isEmpty() ? QStringLiteral("General") : section.name, entry.key,
                       QStringLiteral("an encoded value (%1...) is not read; write the value itself")
                           .arg(entry.value.left(entry.value.indexOf(QLatin1Char('(')) + 1)));
            *error = check.error;
            return false;
        }
    }

    bool ok = true;
    QStringList instruments, sources, alarms;
    for (const IniSection &section : qAsConst(ini.sections)) {
        if (!ok)
            break;
        if (section.name.isEmpty()) {
            if (!section.entries.isEmpty())
                ok = check.fail(
                    QStringLiteral("General"), section.entries.first().key,
                    QStringLiteral("unknown key outside any section (line %1)").arg(section.entries.first().line));
            continue;
        }
        const int slash = section.name.indexOf(QLatin1Char('/'));
        const QString group = slash < 0 ? section.name : section.name.left(slash);
        const QString name = slash < 0 ? QString() : section.name.mid(slash + 1);
        if (slash < 0
            && (group == QLatin1String("store") || group == QLatin1String("mqtt") || group == QLatin1String("http")
                || group == QLatin1String("remote_write")))
            continue;
        if (group != QLatin1String("instrument") && group != QLatin1String("alarm")
            && group != QLatin1String("source")) {
            ok = check.fail(section.name, QString(),
                            QStringLiteral("unknown section (known: store, mqtt, http, remote_write, instrument/NAME, "
                                           "source/NAME, alarm/NAME)"));
        } else if (slash < 0) {
            ok = check.fail(group, QString(), QStringLiteral("sections are [%1/NAME]").arg(group));
        } else if (!nameProblem(name).isEmpty()) {
            ok = check.fail(section.name, QString(), nameProblem(name));
        } else {
            (group == QLatin1String("instrument") ? instruments
             : group == QLatin1String("source")   ? sources
                                                  : alarms)
                .append(name);
        }
    }
    if (ok && !ini.find(QStringLiteral("store")))
        ok = check.fail(QStringLiteral("store"), QString(), QStringLiteral("is missing"));
    ok = ok && readStore(check, config);
    if (ok && ini.find(QStringLiteral("mqtt")))
        ok = readMqtt(check, &config->mqtt);
    if (ok && ini.find(QStringLiteral("http")))
        ok = readHttp(check, config);
    if (ok && ini.find(QStringLiteral("remote_write")))
        ok = readRemoteWrite(check, config);
    for (const QString &name : qAsConst(instruments))
        ok = ok && readInstrument(check, name, config);
    ok = ok && checkShares(check, *config);
    for (const QString &name : qAsConst(sources))
        ok = ok && readSource(check, name, config);
    for (const QString &name : qAsConst(alarms))
        ok = ok && readAlarm(check, name, config);
    if (ok && config->instruments.isEmpty() && config->sources.isEmpty())
        ok = check.fail(QStringLiteral("instrument/NAME"), QString(),
                        QStringLiteral("no instrument to watch (nor a source to archive)"));
    *error = check.error;
    return ok;
}
