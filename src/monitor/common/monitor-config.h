#pragma once

// The monitor's configuration file: one [store], one [instrument/NAME] per
// instrument, one [source/NAME] per monitor it archives, any number of [alarm/NAME]. Every key is checked; an unknown
// key or section is an error, so a typing mistake never goes unnoticed.

#include "drivers/line/line-protocol.h"

#include <QString>
#include <QStringList>
#include <QVector>

// One series of this monitor's instruments, as those who publish, serve and
// archive it need to know it.
struct SeriesInfo {
    QString name;       // INSTRUMENT, or INSTRUMENT:CHANNEL
    QString instrument; // whose status it shares
    QString channel;    // empty for an instrument's only one
    QString unit;       // "K" for a VKRHX350
    QVector<QPair<QString, double>> states;
    // Published and served as a temperature, as a VKRHX350's always were.
    bool isKelvin() const { return unit == QLatin1String("K"); }
    // The word of a state channel's value; empty for any other.
    QString stateWord(double value) const;
};

struct InstrumentConfig {
    QString name;
    QString driver = QStringLiteral("vkrhx350"); // what the instrument speaks (drivers/driver-registry.h)
    QString port;
    QString serial; // empty: any serial number (the first one seen is kept)
    int period = 0; // RS-232 output period sent on each connect (a line instrument's poll period); 0: left alone
    QString share;  // the link to a shared port for one client at a time; empty: none
    // How long a client's maintenance holds the silence alarms at the most.
    int maintenanceLimitSeconds = 600;
    // A line instrument: its protocol, and the channels of it read (all when empty).
    LineProtocol protocol;
    QStringList channels;
    // The series its readings are kept under: the instrument's name for a
    // VKRHX350, NAME:CHANNEL for each channel of a line instrument.
    QVector<SeriesInfo> seriesInfo() const;
    QStringList series() const;
};

// Another lab's monitor whose readings this one archives, read through the
// broker of the [mqtt] section.
struct SourceConfig {
    QString name;
    QString clientId; // the source monitor's
    QString topicPrefix = QStringLiteral("frostgauge");
    QStringList instruments; // empty: every instrument it publishes
};

struct AlarmConfig {
    enum Kind { Value, Silence, Lost };
    QString name;
    QString instrument; // a series: an instrument, INSTRUMENT:CHANNEL or SOURCE/INSTRUMENT
    // A state channel's alarm: raised while the channel shows this state.
    bool hasState = false;
    QString state;
    double stateValue = 0;
    Kind kind = Value;
    bool hasAbove = false;
    bool hasBelow = false;
    double above = 0;
    double below = 0;
    double hysteresis = 0;
    double holdSeconds = 0;
    double silenceSeconds = 0;
    QString command;
    double commandTimeoutSeconds = 60; // then the command and its children are ended
    // While raised and not acknowledged, the command runs again this often; 0: once.
    double repeatSeconds = 0;
};

struct MqttConfig {
    bool enabled = false; // an [mqtt] section was given
    QString host;
    int port = 0; // 0: 1883, or 8883 with TLS
    QString clientId;
    QString topicPrefix = QStringLiteral("frostgauge");
    int qos = 1;
    QString username;
    QString passwordFile; // the password is read from here, never from the command line
    QString caFile;
    QString certFile;
    QString keyFile;
    bool homeAssistant = false;
    bool tls() const { return !caFile.isEmpty(); }
};

// A time-series engine the monitor pushes every reading to (Prometheus remote write).
struct RemoteWriteConfig {
    bool enabled = false; // a [remote_write] section was given
    QString url;
    QString username;
    QString passwordFile;
    QString bearerTokenFile;
    QString caFile;
    QString certFile;
    QString keyFile;
    QString monitorName;                     // the monitor label: name=, else the MQTT client id, else the host name
    QVector<QPair<QString, QString>> labels; // extra ones, as labels= gives them
};

struct HttpListen {
    QString address; // an IPv4 or IPv6 address as written
    quint16 port = 0;
    QString text() const;
};

struct HttpUser {
    QString name;
    QByteArray hash; // libsodium's crypto_pwhash_str form ($argon2id$...)
};

struct HttpConfig {
    bool enabled = false; // an [http] section was given
    QVector<HttpListen> listen;
    QString passwordFile;
    QVector<HttpUser> users; // read from passwordFile
    QString tlsCert;
    QString tlsKey;
    bool tls() const { return !tlsCert.isEmpty(); }
};

struct MonitorConfig {
    QString path; // the file it was read from
    MqttConfig mqtt;
    HttpConfig http;
    RemoteWriteConfig remoteWrite;
    // What --check says without refusing the file.
    QStringList warnings;
    QString storePath;
    int retentionDays = 0; // 0: readings are kept for ever
    QVector<InstrumentConfig> instruments;
    QVector<SourceConfig> sources;
    QVector<AlarmConfig> alarms;

    // Every series of the instruments of this monitor, in their order.
    QVector<SeriesInfo> localSeries() const;
    // A line instrument's channel that a series names; null for any other series.
    const LineChannel *lineChannel(const QString &series) const;
    // The unit of a series' values: K for a VKRHX350 and for an archive's
    // series, the channel's for a line instrument's.
    QString unitOf(const QString &series) const;
    // A value as the history and the log say it: "192.574 K", "3.2e-07 mbar", "ON".
    QString valueText(const QString &series, double value) const;
};

// Reads and checks the file. False with error naming the file, the section
// and the key.
bool readMonitorConfig(const QString &path, MonitorConfig *config, QString *error);
