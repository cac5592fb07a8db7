// The monitor's configuration reader in process: what a good file gives, and a
// table of bad files, each refused with the file, section and key named.

#include "monitor/alarm-command.h"
#include "monitor/common/monitor-config.h"
#include "support/test-files.h"
#include "support/test-main.h"

#include <QTemporaryDir>

#include <unistd.h>

class MonitorConfigTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    QString write(const QString &name, const QByteArray &text)
    {
        QByteArray content = text;
        content.replace("DIR", QFile::encodeName(dir.path()));
        return writeTestFile(dir, name, content);
    }

private slots:
    void initTestCase()
    {
        write("ca.pem", "not read while checking\n");
        write("cert.pem", "-----BEGIN CERTIFICATE-----\n");
        write("plain-users", "# users\nops:secret\n");
        write("twice-users",
              "ops:$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$aGFzaA\nops:$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$aGFzaA\n");
        QVERIFY(QFile::link(QStringLiteral("/dev/ttyS0"), dir.filePath("foreign")));
        QVERIFY(QFile::link(dir.filePath("nowhere"), dir.filePath("dangling")));
    }

    void goodFile()
    {
        const QString path =
            write("good.conf", "; a comment\n"
                               "[store]\npath=DIR/h.db\nretention_days=30\n"
                               "[mqtt]\nhost=broker.lab\nclient_id=lab1\ndiscovery=homeassistant\n"
                               "[instrument/cryo1]\nport=/dev/ttyUSB0\nserial=SN1\nperiod=500\nshare=/run/fg/cryo1\n"
                               "[instrument/cryo2]\nport=/dev/ttyUSB1\n"
                               "[alarm/warm]\ninstrument=cryo1\nabove=10\nbelow=2\nhysteresis=0.5\nhold=30\n"
                               "command=/usr/bin/logger warm\n"
                               "[alarm/quiet]\ninstrument=cryo2\nsilence=60\n"
                               "[alarm/gone]\ninstrument=cryo2\nlost=true\n");
        MonitorConfig config;
        QString error;
        QVERIFY2(readMonitorConfig(path, &config, &error), qPrintable(error));
        QCOMPARE(config.storePath, dir.filePath("h.db"));
        QCOMPARE(config.retentionDays, 30);
        QVERIFY(config.mqtt.enabled);
        QCOMPARE(config.mqtt.host, QStringLiteral("broker.lab"));
        QCOMPARE(config.mqtt.port, 1883);
        QCOMPARE(config.mqtt.clientId, QStringLiteral("lab1"));
        QCOMPARE(config.mqtt.topicPrefix, QStringLiteral("frostgauge"));
        QCOMPARE(config.mqtt.qos, 1);
        QVERIFY(config.mqtt.homeAssistant);
        QCOMPARE(config.instruments.size(), 2);
        QCOMPARE(config.instruments.at(0).name, QStringLiteral("cryo1"));
        QCOMPARE(config.instruments.at(0).serial, QStringLiteral("SN1"));
        QCOMPARE(config.instruments.at(0).period, 500);
        QCOMPARE(config.instruments.at(0).share, QStringLiteral("/run/fg/cryo1"));
        QCOMPARE(config.instruments.at(1).period, 0);
        QVERIFY(config.instruments.at(1).serial.isEmpty());
        // Sections come in the order they are written.
        QCOMPARE(config.alarms.size(), 3);
        QCOMPARE(config.alarms.at(2).name, QStringLiteral("gone"));
        QCOMPARE(config.alarms.at(2).kind, AlarmConfig::Lost);
        QCOMPARE(config.alarms.at(1).name, QStringLiteral("quiet"));
        QCOMPARE(config.alarms.at(1).kind, AlarmConfig::Silence);
        QCOMPARE(config.alarms.at(1).silenceSeconds, 60.0);
        const AlarmConfig &warm = config.alarms.at(0);
        QCOMPARE(warm.kind, AlarmConfig::Value);
        QVERIFY(warm.hasAbove && warm.hasBelow);
        QCOMPARE(warm.above, 10.0);
        QCOMPARE(warm.below, 2.0);
        QCOMPARE(warm.hysteresis, 0.5);
        QCOMPARE(warm.holdSeconds, 30.0);
        QCOMPARE(warm.command, QStringLiteral("/usr/bin/logger warm"));
    }

    // The defaults a short file leaves: no retention, no MQTT, TLS on 8883.
    void defaults()
    {
        MonitorConfig config;
        QString error;
        QVERIFY(readMonitorConfig(write("short.conf", "[store]\npath=h.db\n[instrument/a]\nport=/dev/ttyS0\n"), &config,
                                  &error));
        QCOMPARE(config.retentionDays, 0);
        QCOMPARE(config.instruments.at(0).driver, QStringLiteral("vkrhx350"));
        QVERIFY(!config.mqtt.enabled);
        QVERIFY(config.alarms.isEmpty());
        QVERIFY(readMonitorConfig(write("tls.conf", "[store]\npath=h.db\n[instrument/a]\nport=/dev/ttyS0\n"
                                                    "[mqtt]\nhost=b\nca_file=DIR/short.conf\n"),
                                  &config, &error));
        QCOMPARE(config.mqtt.port, 8883);
        QVERIFY(config.mqtt.clientId.startsWith(QStringLiteral("frostgauge-")));
    }

    // Values reach the program as written: quotes, backslashes, commas and ';'
    // belong to the value (the command's own splitter reads them), names are UTF-8.
    void valuesAsWritten_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QStringList>("words");
        QTest::newRow("double quotes") << QByteArray(R"(command = notify "cryo is warm" now)")
                                       << R"(notify "cryo is warm" now)"
                                       << QStringList{"notify", "cryo is warm", "now"};
        QTest::newRow("backslashes") << QByteArray(R"(command=/opt/a\\b c\ d)") << R"(/opt/a\\b c\ d)"
                                     << QStringList{R"(/opt/a\b)", "c d"};
        QTest::newRow("commas") << QByteArray("command=mail -s warm,cold ops@lab") << "mail -s warm,cold ops@lab"
                                << QStringList{"mail", "-s", "warm,cold", "ops@lab"};
        QTest::newRow("semicolon") << QByteArray("command=logger 'a ; b' \"c ;\" x;y") << "logger 'a ; b' \"c ;\" x;y"
                                   << QStringList{"logger", "a ; b", "c ;", "x;y"};
        QTest::newRow("hash") << QByteArray("command=logger #1") << "logger #1" << QStringList{"logger", "#1"};
        QTest::newRow("UTF-8") << QByteArray("command=logger \xc3\xa9t\xc3\xa9 \xe2\x84\x83")
                               << QString::fromUtf8("logger \xc3\xa9t\xc3\xa9 \xe2\x84\x83")
                               << QStringList{"logger", QString::fromUtf8("\xc3\xa9t\xc3\xa9"),
                                              QString::fromUtf8("\xe2\x84\x83")};
    }

    void valuesAsWritten()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, command);
        QFETCH(QStringList, words);
        const QString path = write(QStringLiteral("value-%1.conf").arg(QTest::currentDataTag()).replace(' ', '-'),
                                   "[store]\npath=h.db\n[instrument/K\xc3\xbchler \xe2\x84\x96"
                                   "1]\nport=/dev/ttyS0\n"
                                   "[alarm/warm]\ninstrument=K\xc3\xbchler \xe2\x84\x96"
                                   "1\nabove=3\n"
                                       + line + "\r\n");
        MonitorConfig config;
        QString error;
        QVERIFY2(readMonitorConfig(path, &config, &error), qPrintable(error));
        QCOMPARE(config.instruments.at(0).name, QString::fromUtf8("K\xc3\xbchler \xe2\x84\x96"
                                                                  "1"));
        QCOMPARE(config.alarms.at(0).command, command);
        QCOMPARE(splitCommandLine(config.alarms.at(0).command), words);
    }

    void badFiles_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("message");
        const QByteArray store = "[store]\npath=DIR/bad.db\n";
        const QByteArray one = "[instrument/a]\nport=/dev/null\n";
        QTest::newRow("no store") << one << "[store]: is missing";
        QTest::newRow("store without path") << "[store]\nretention_days=3\n" + one << "[store] path: is missing";
        QTest::newRow("retention of zero days") << store + "retention_days=0\n" + one
                                                << "[store] retention_days: takes a whole number from 1 to 36500";
        QTest::newRow("no instrument") << store << "no instrument to watch";
        QTest::newRow("unknown key") << store + one + "baud=9600\n" << "[instrument/a] baud: unknown key";
        QTest::newRow("unknown section") << store + one + "[mqtt-broker]\nhost=x\n" << "[mqtt-broker]: unknown section";
        QTest::newRow("key outside a section") << "path=x\n" + store + one << "[General] path: unknown key outside any section";
        QTest::newRow("port missing") << store + "[instrument/a]\nserial=1\n" << "[instrument/a] port: is missing";
        QTest::newRow("unknown driver") << store + one + "driver=lakeshore\n"
                                        << "[instrument/a] driver: lakeshore is not a driver this monitor has (vkrhx350, line)";
        QTest::newRow("driver in capitals") << store + one + "driver=VKRHX350\n"
                                            << "[instrument/a] driver: VKRHX350 is not a driver this monitor has";
        const QByteArray compressor = "[instrument/c]\nport=/dev/zero\ndriver=line\nprotocol=" FROSTGAUGE_SOURCE_DIR "/data/protocols/compressor.conf\n";
        QTest::newRow("line without protocol") << store + "[instrument/c]\nport=/dev/null\ndriver=line\n"
                                               << "[instrument/c] protocol: is missing: a line instrument's protocol file";
        QTest::newRow("protocol of a VKRHX350") << store + one + "protocol=compressor\n"
                                                << "[instrument/a] protocol: goes with driver=line";
        QTest::newRow("protocol not found") << store + "[instrument/c]\nport=/dev/null\ndriver=line\nprotocol=nosuch\n"
                                            << "[instrument/c] protocol: no protocol nosuch (looked for nosuch.conf in /etc/frostgauge/protocols and ";
        QTest::newRow("protocol path not there") << store + "[instrument/c]\nport=/dev/null\ndriver=line\nprotocol=/nowhere/x.conf\n"
                                                 << "[instrument/c] protocol: /nowhere/x.conf: no such file";
        QTest::newRow("unknown channel") << store + compressor + "channels=state, flow\n"
                                         << "compressor.conf has no channel 'flow'";
        QTest::newRow("serial it cannot check") << store + compressor + "serial=X1\n"
                                                << "[instrument/c] serial: " FROSTGAUGE_SOURCE_DIR "/data/protocols/compressor.conf does not say how the instrument tells its serial number";
        QTest::newRow("line instrument shared") << store + compressor + "share=/run/x/c\n"
                                                << "[instrument/c] share: a line instrument is not shared";
        QTest::newRow("series of two instruments") << store + "[instrument/c:state]\nport=/dev/null\n" + compressor
                                                   << "[instrument/c] protocol: its series c:state is a series of instrument c:state too";
        QTest::newRow("alarm on an instrument with channels") << store + compressor + "[alarm/x]\ninstrument=c\nabove=3\n"
                                                              << "[alarm/x] instrument: c has channels: name one (c:state, c:return_pressure)";
        QTest::newRow("alarm on an unknown state") << store + compressor + "[alarm/x]\ninstrument=c:state\nstate=BOILING\n"
                                                   << "[alarm/x] state: BOILING is none of the states of c:state (OFF, ON, FAULT)";
        QTest::newRow("state of a number channel") << store + compressor + "[alarm/x]\ninstrument=c:return_pressure\nstate=ON\n"
                                                   << "[alarm/x] state: c:return_pressure is no channel with states=";
        QTest::newRow("state and above") << store + compressor + "[alarm/x]\ninstrument=c:state\nstate=ON\nabove=1\n"
                                         << "[alarm/x]: give one of above/below, state, silence or lost (2 given)";
        QTest::newRow("TCP port without a number") << store + "[instrument/a]\nport=tcp://lab-gauge\n"
                                                   << "[instrument/a] port: tcp://lab-gauge is not tcp://HOST:PORT";
        QTest::newRow("TCP port with a path") << store + "[instrument/a]\nport=tcp://lab-gauge:5025/x\n"
                                              << "[instrument/a] port: tcp://lab-gauge:5025/x is not tcp://HOST:PORT";
        QTest::newRow("poll period of a day") << store + compressor + "period=86400000\n"
                                              << "[instrument/c] period: takes a whole number from 100 to 3600000";
        QTest::newRow("remote write without url") << store + one + "[remote_write]\nname=x\n"
                                                  << "[remote_write] url: takes the engine's http:// or https:// address";
        QTest::newRow("remote write to ftp") << store + one + "[remote_write]\nurl=ftp://vm:8428/api/v1/write\n"
                                             << "[remote_write] url: takes the engine's http:// or https:// address";
        QTest::newRow("remote write with a login in the url")
            << store + one + "[remote_write]\nurl=http://lab:secret@vm:8428/api/v1/write\n"
            << "without a login in it";
        QTest::newRow("remote write password without user")
            << store + one + "[remote_write]\nurl=http://vm:8428/api/v1/write\npassword_file=/etc/hostname\n"
            << "[remote_write] password_file: username and password_file go together";
        QTest::newRow("remote write with two logins")
            << store + one
                   + "[remote_write]\nurl=http://vm:8428/api/v1/write\nusername=a\npassword_file=/etc/hostname\n"
                     "bearer_token_file=/etc/hostname\n"
            << "[remote_write] bearer_token_file: give a username with password_file, or a bearer_token_file, not both";
        QTest::newRow("remote write with an empty token") << store + one + "[remote_write]\nurl=http://vm:8428/x\n"
                                                            "bearer_token_file=/dev/null\n"
                                                         << "[remote_write] bearer_token_file: /dev/null is not a file";
        QTest::newRow("remote write CA not PEM") << store + one + "[remote_write]\nurl=https://vm:8428/x\nca_file=/etc/hostname\n"
                                                 << "[remote_write] ca_file: /etc/hostname is not in PEM form";
        QTest::newRow("remote write labels without value") << store + one + "[remote_write]\nurl=http://vm:8428/x\nlabels=facility\n"
                                                           << "[remote_write] labels: takes NAME=VALUE pairs separated by commas";
        QTest::newRow("remote write label of its own") << store + one + "[remote_write]\nurl=http://vm:8428/x\nlabels=instrument=x\n"
                                                       << "[remote_write] labels: instrument is a label the monitor sets itself";
        QTest::newRow("remote write label name with a dash") << store + one + "[remote_write]\nurl=http://vm:8428/x\nlabels=a-b=c\n"
                                                             << "'a-b=c' is none";
        QTest::newRow("period out of range") << store + one + "period=50\n"
                                             << "[instrument/a] period: takes a whole number from 100 to 1000";
        QTest::newRow("one port twice") << store + one + "[instrument/b]\nport=/dev/null\n"
                                        << "[instrument/b] port: /dev/null is the port of instrument a too";
        QTest::newRow("relative share") << store + one + "share=run/a\n"
                                        << "[instrument/a] share: takes the absolute path of the link to make";
        QTest::newRow("share on the port") << store + one + "share=/dev/null\n"
                                           << "[instrument/a] share: is the instrument's port itself";
        QTest::newRow("one share twice") << store + one + "share=/run/x/a\n[instrument/b]\nport=/dev/zero\nshare=/run/x/a\n"
                                         << "[instrument/b] share: /run/x/a is the shared port of instrument a too";
        QTest::newRow("alarm on an unknown instrument") << store + one + "[alarm/x]\ninstrument=b\nabove=3\n"
                                                        << "[alarm/x] instrument: no [instrument/b] section";
        QTest::newRow("alarm of no kind") << store + one + "[alarm/x]\ninstrument=a\nhold=3\n"
                                          << "[alarm/x]: give one of above/below, state, silence or lost (0 given)";
        QTest::newRow("alarm of two kinds") << store + one + "[alarm/x]\ninstrument=a\nabove=3\nsilence=5\n"
                                            << "(2 given)";
        QTest::newRow("limit not a number") << store + one + "[alarm/x]\ninstrument=a\nabove=warm\n"
                                            << "[alarm/x] above: takes a number";
        QTest::newRow("below over above") << store + one + "[alarm/x]\ninstrument=a\nabove=3\nbelow=5\n"
                                          << "[alarm/x] below: must be lower than above";
        QTest::newRow("negative hold") << store + one + "[alarm/x]\ninstrument=a\nbelow=3\nhold=-1\n"
                                       << "[alarm/x] hold: takes a number from 0 to 86400";
        QTest::newRow("hysteresis on silence") << store + one + "[alarm/x]\ninstrument=a\nsilence=3\nhysteresis=1\n"
                                               << "[alarm/x] hysteresis: goes with above or below";
        QTest::newRow("list claiming 2^31 items")
            << store + one + "serial=@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\n"
            << "[instrument/a] serial: an encoded value (@Variant(...) is not read; write the value itself (line 5)";
        QTest::newRow("encoded bytes") << store + one + "[alarm/x]\ninstrument=a\nabove=3\ncommand=@ByteArray(ls)\n"
                                       << "[alarm/x] command: an encoded value (@ByteArray(...)";
        QTest::newRow("section twice") << store + one + "[instrument/a]\nport=/dev/zero\n"
                                       << "line 5: [instrument/a] again (first at line 3)";
        QTest::newRow("key twice") << store + one + "port = /dev/zero\n" << "line 5: [instrument/a] port again (first at line 4)";
        QTest::newRow("comment after a value") << store + one + "serial=SN1   ; optional\n"
                                               << "line 5: serial: a ';' after a blank would be part of the value";
        QTest::newRow("comment after a command") << store + one + "[alarm/x]\ninstrument=a\nabove=3\ncommand=notify ;x\n"
                                                 << "line 8: command: a ';' after a blank";
        QTest::newRow("line of neither") << store + one + "period\n" << "line 5: neither [SECTION] nor KEY=VALUE";
        QTest::newRow("unclosed section") << store + "[instrument/a\n" << "line 3: a section is written [NAME]";
        QTest::newRow("not UTF-8") << store + "[instrument/caf\xe9]\nport=/dev/null\n" << "line 3: is not UTF-8 text";
        QTest::newRow("NUL in a line") << store + one + QByteArray("serial=a\0b\n", 11) << "line 5: holds a NUL byte";
        QTest::newRow("name with +") << store + "[instrument/a+b]\nport=/dev/null\n"
                                     << "[instrument/a+b]: a name may not hold +, # or /";
        QTest::newRow("name with #") << store + one + "[alarm/#1]\ninstrument=a\nabove=3\n"
                                     << "[alarm/#1]: a name may not hold +, # or /";
        QTest::newRow("name with /") << store + "[instrument/lab/a]\nport=/dev/null\n"
                                     << "[instrument/lab/a]: a name may not hold +, # or /";
        QTest::newRow("name with a control character") << store + "[instrument/a\x01b]\nport=/dev/null\n"
                                                       << "a name may not hold control characters";
        QTest::newRow("empty name") << store + "[instrument/]\nport=/dev/null\n" << "[instrument/]: a name is needed";
        QTest::newRow("the monitor's own name") << store + "[instrument/monitor]\nport=/dev/null\n"
                                                << "[instrument/monitor]: monitor is the monitor's own topic level";
        QTest::newRow("share on another's port") << store + one + "[instrument/b]\nport=/dev/zero\nshare=/dev/null\n"
                                                 << "[instrument/b] share: /dev/null is the port of instrument a";
        QTest::newRow("share inside /dev") << store + one + "share=/dev/shm/a\n"
                                           << "[instrument/a] share: /dev/shm/a is inside /dev";
        QTest::newRow("share on a file") << store + one + "share=DIR/ca.pem\n"
                                         << "[instrument/a] share: DIR/ca.pem exists and is not a shared port's link";
        QTest::newRow("share on a foreign link") << store + one + "share=DIR/foreign\n"
                                                 << "[instrument/a] share: DIR/foreign exists and is not a shared port's link";
        QTest::newRow("share on a dangling link") << store + one + "share=DIR/dangling\n"
                                                  << "[instrument/a] share: DIR/dangling exists";
        QTest::newRow("http without listen") << store + one + "[http]\npassword_file=DIR/users\n"
                                             << "[http] listen: is missing: ADDRESS:PORT";
        QTest::newRow("http on a host name") << store + one + "[http]\nlisten=localhost:8350\n"
                                             << "[http] listen: localhost:8350 is no ADDRESS:PORT";
        QTest::newRow("http IPv6 without brackets") << store + one + "[http]\nlisten=::1:8350\n"
                                                    << "[http] listen: ::1:8350 is no ADDRESS:PORT";
        QTest::newRow("http port 0") << store + one + "[http]\nlisten=127.0.0.1:0\n" << "is no ADDRESS:PORT";
        QTest::newRow("http address twice") << store + one + "[http]\nlisten=127.0.0.1:8350 127.0.0.1:8350\n"
                                            << "[http] listen: 127.0.0.1:8350 is given twice";
        QTest::newRow("http unknown key") << store + one + "[http]\nlisten=127.0.0.1:8350\nroot=/var/www\n"
                                          << "[http] root: unknown key";
        QTest::newRow("http password line without hash") << store + one + "[http]\nlisten=127.0.0.1:8350\npassword_file=DIR/plain-users\n"
                                                         << "[http] password_file: DIR/plain-users: line 2: takes NAME:HASH";
        QTest::newRow("http user twice") << store + one + "[http]\nlisten=127.0.0.1:8350\npassword_file=DIR/twice-users\n"
                                         << "line 2: user ops again";
        QTest::newRow("http certificate without key") << store + one + "[http]\nlisten=127.0.0.1:8350\ntls_cert=DIR/cert.pem\n"
                                                      << "[http] tls_key: TLS needs tls_cert and tls_key";
        QTest::newRow("http key not PEM") << store + one + "[http]\nlisten=127.0.0.1:8350\ntls_cert=DIR/cert.pem\ntls_key=DIR/ca.pem\n"
                                          << "[http] tls_key: DIR/ca.pem is not in PEM form";
        QTest::newRow("password file is a folder") << store + one + "[mqtt]\nhost=b\nusername=u\npassword_file=DIR\n"
                                                   << "[mqtt] password_file: DIR is not a file";
        QTest::newRow("mqtt without host") << store + one + "[mqtt]\nport=1883\n" << "[mqtt] host: is missing";
        QTest::newRow("mqtt port out of range") << store + one + "[mqtt]\nhost=b\nport=70000\n"
                                                << "[mqtt] port: takes a whole number from 1 to 65535";
        QTest::newRow("topic prefix with a wildcard") << store + one + "[mqtt]\nhost=b\ntopic_prefix=lab/#\n"
                                                      << "[mqtt] topic_prefix: takes a topic without + or #";
        QTest::newRow("topic prefix ending in /") << store + one + "[mqtt]\nhost=b\ntopic_prefix=lab/\n"
                                                  << "[mqtt] topic_prefix: takes a topic";
        QTest::newRow("client id with /") << store + one + "[mqtt]\nhost=b\nclient_id=a/b\n"
                                          << "[mqtt] client_id: may not hold +, # or /";
        QTest::newRow("qos 3") << store + one + "[mqtt]\nhost=b\nqos=3\n" << "[mqtt] qos: takes a whole number from 0 to 2";
        QTest::newRow("password without user") << store + one + "[mqtt]\nhost=b\npassword_file=DIR/bad.conf\n"
                                               << "[mqtt] password_file: goes with username";
        QTest::newRow("missing CA file") << store + one + "[mqtt]\nhost=b\nca_file=DIR/none.crt\n"
                                         << "[mqtt] ca_file: DIR/none.crt is not a file";
        QTest::newRow("certificate without key") << store + one + "[mqtt]\nhost=b\nca_file=DIR/ca.pem\ncert_file=DIR/ca.pem\n"
                                                 << "[mqtt] cert_file: a client certificate needs cert_file, key_file and ca_file";
        QTest::newRow("unknown discovery") << store + one + "[mqtt]\nhost=b\ndiscovery=openhab\n"
                                           << "[mqtt] discovery: takes homeassistant";
        QTest::newRow("lost not true") << store + one + "[alarm/x]\ninstrument=a\nlost=no\n"
                                       << "[alarm/x] lost: takes true";
        QTest::newRow("empty command") << store + one + "[alarm/x]\ninstrument=a\nabove=3\ncommand=\n"
                                       << "[alarm/x] command: is empty";
        QTest::newRow("silence of zero") << store + one + "[alarm/x]\ninstrument=a\nsilence=0\n"
                                         << "[alarm/x] silence: takes a number from 0.1 to 86400";
        QTest::newRow("stray key in [instrument]") << store + one + "[instrument]\nport=x\n"
                                                   << "[instrument]: sections are [instrument/NAME]";
        const QByteArray mqtt = "[mqtt]\nhost=h\n";
        const QByteArray source = "[source/lab2]\nclient_id=lab2-monitor\ntopic_prefix=fg/lab2\n";
        QTest::newRow("source without mqtt") << store + source << "[source/lab2]: a source is read through the broker of an [mqtt] section";
        QTest::newRow("source without client") << store + mqtt + "[source/lab2]\ntopic_prefix=fg/lab2\n"
                                               << "[source/lab2] client_id: is missing";
        QTest::newRow("source client with /") << store + mqtt + "[source/lab2]\nclient_id=a/b\n"
                                              << "[source/lab2] client_id: may not hold +, # or /";
        QTest::newRow("source prefix wildcard") << store + mqtt + "[source/lab2]\nclient_id=m\ntopic_prefix=fg/#\n"
                                                << "[source/lab2] topic_prefix: takes a topic without + or #";
        QTest::newRow("source on the own prefix") << store + mqtt + one + "[source/lab2]\nclient_id=m\n"
                                                  << "[source/lab2] topic_prefix: frostgauge is this monitor's own topic_prefix";
        QTest::newRow("two sources, one prefix") << store + mqtt + source + "[source/lab3]\nclient_id=n\ntopic_prefix=fg/lab2\n"
                                                 << "[source/lab3] topic_prefix: fg/lab2 is the topic_prefix of source lab2 too";
        QTest::newRow("source with an unknown key") << store + mqtt + source + "host=x\n" << "[source/lab2] host: unknown key";
        QTest::newRow("source name with /") << store + mqtt + "[source/a/b]\nclient_id=m\n" << "[source/a/b]: a name may not hold +, # or /";
        QTest::newRow("empty name in the list") << store + mqtt + source + "instruments=cryo1,,cryo2\n"
                                                << "[source/lab2] instruments: an empty name in the list";
        QTest::newRow("a list name with #") << store + mqtt + source + "instruments=cryo#1\n"
                                            << "[source/lab2] instruments: a name may not hold +, # or /";
        QTest::newRow("a name listed twice") << store + mqtt + source + "instruments=cryo1, cryo1\n"
                                             << "[source/lab2] instruments: cryo1 is listed twice";
        QTest::newRow("alarm on an unknown source") << store + mqtt + source + "[alarm/x]\ninstrument=lab9/cryo1\nabove=3\n"
                                                    << "[alarm/x] instrument: no [source/lab9] section for lab9/cryo1";
        QTest::newRow("repeat without command") << store + one + "[alarm/x]\ninstrument=a\nabove=3\nrepeat=60\n"
                                                << "[alarm/x] repeat: goes with command";
        QTest::newRow("repeat too often") << store + one + "[alarm/x]\ninstrument=a\nabove=3\ncommand=true\nrepeat=1\n"
                                          << "[alarm/x] repeat: takes a number from 10 to 86400";
        QTest::newRow("alarm on an unlisted instrument") << store + mqtt + source + "instruments=cryo1\n[alarm/x]\ninstrument=lab2/cryo2\nabove=3\n"
                                                         << "[alarm/x] instrument: cryo2 is not in the instruments= of [source/lab2]";
        // clang-format on
    }

    void badFiles()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, message);
        const QString path = write(QStringLiteral("bad-%1.conf").arg(QTest::currentDataTag()).replace('/', '-'), text);
        MonitorConfig config;
        QString error;
        QVERIFY(!readMonitorConfig(path, &config, &error));
        QString expected = message;
        expected.replace(QStringLiteral("DIR"), dir.path());
        QVERIFY2(error.startsWith(path + QStringLiteral(": ")) && error.contains(expected), qPrintable(error));
    }

    // An archive: sources without instruments of its own, lists as written,
    // alarms on remote instruments.
    void sources()
    {
        MonitorConfig config;
        QString error;
        QVERIFY2(
            readMonitorConfig(write("archive.conf", "[store]\npath=a.db\n[mqtt]\nhost=broker\nclient_id=archive\n"
                                                    "[source/lab2]\nclient_id=lab2-monitor\n"
                                                    "topic_prefix=facility/lab2\ninstruments=cryo 1, K\xc3\xbchler\n"
                                                    "[source/lab3]\nclient_id=lab3-monitor\n"
                                                    "[alarm/warm]\ninstrument=lab2/cryo 1\nabove=10\n"
                                                    "[alarm/any]\ninstrument=lab3/whatever\nlost=true\n"),
                              &config, &error),
            qPrintable(error));
        QCOMPARE(config.instruments.size(), 0);
        QCOMPARE(config.sources.size(), 2);
        QCOMPARE(config.sources.at(0).instruments, QStringList({"cryo 1", QString::fromUtf8("K\xc3\xbchler")}));
        QCOMPARE(config.sources.at(0).topicPrefix, QStringLiteral("facility/lab2"));
        QCOMPARE(config.sources.at(1).topicPrefix, QStringLiteral("frostgauge")); // none of its own here
        QVERIFY(config.sources.at(1).instruments.isEmpty());
        QCOMPARE(config.alarms.at(0).instrument, QStringLiteral("lab2/cryo 1"));
        QCOMPARE(config.alarms.at(1).instrument, QStringLiteral("lab3/whatever"));
    }

    // [http] as written: addresses, users, and a warning for an address
    // beyond this computer served without a login and TLS.
    void httpSection()
    {
        write("users", "ops:$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$aGFzaA\n# a "
                       "comment\nlab:$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$aGFzaA\n");
        MonitorConfig config;
        QString error;
        QVERIFY2(readMonitorConfig(write("http.conf", "[store]\npath=h.db\n[instrument/a]\nport=/dev/ttyS0\n"
                                                      "[http]\nlisten=127.0.0.1:8350, [::1]:8350 0.0.0.0:8351\n"
                                                      "password_file=DIR/users\n"),
                                   &config, &error),
                 qPrintable(error));
        QVERIFY(config.http.enabled);
        QCOMPARE(config.http.listen.size(), 3);
        QCOMPARE(config.http.listen.at(1).text(), QStringLiteral("[::1]:8350"));
        QCOMPARE(config.http.listen.at(2).port, quint16(8351));
        QCOMPARE(config.http.users.size(), 2);
        QCOMPARE(config.http.users.at(1).name, QStringLiteral("lab"));
        QCOMPARE(config.warnings.size(), 1);
        QVERIFY2(config.warnings.at(0).contains(
                     QStringLiteral("0.0.0.0:8351 is reachable beyond this computer without TLS")),
                 qPrintable(config.warnings.at(0)));
    }

    // A link an earlier run left (it crashed) is the monitor's to replace.
    void staleLinkOfItsOwn()
    {
        QVERIFY(QFile::link(QStringLiteral("/dev/pts/97"), dir.filePath("stale")));
        MonitorConfig config;
        QString error;
        QVERIFY2(readMonitorConfig(write("stale.conf", "[store]\npath=h.db\n[instrument/a]\nport=/dev/ttyS0\n"
                                                       "share=DIR/stale\n"),
                                   &config, &error),
                 qPrintable(error));
        QCOMPARE(config.instruments.at(0).share, dir.filePath("stale"));
    }

    // Files the service reads are opened at the check, as the service's user.
    void unreadableSecrets()
    {
        if (geteuid() == 0)
            QSKIP("root reads every file");
        const QString secret = write("secret", "pw\n");
        QFile::setPermissions(secret, QFileDevice::WriteOwner);
        MonitorConfig config;
        QString error;
        QVERIFY(!readMonitorConfig(write("secret.conf", "[store]\npath=h.db\n[instrument/a]\nport=/dev/ttyS0\n"
                                                        "[mqtt]\nhost=b\nusername=u\npassword_file=DIR/secret\n"),
                                   &config, &error));
        QVERIFY2(error.contains(QStringLiteral("[mqtt] password_file: %1 cannot be read").arg(secret)),
                 qPrintable(error));
    }

    void unreadableFiles()
    {
        MonitorConfig config;
        QString error;
        QVERIFY(!readMonitorConfig(dir.filePath("none.conf"), &config, &error));
        QCOMPARE(error, dir.filePath("none.conf") + QStringLiteral(": no such file"));
        QVERIFY(!readMonitorConfig(dir.path(), &config, &error));
        QCOMPARE(error, dir.path() + QStringLiteral(": not a readable file"));
        const QString large = write("large.conf", QByteArray(1024 * 1024 + 1, ';'));
        QVERIFY(!readMonitorConfig(large, &config, &error));
        QVERIFY2(error.contains(QStringLiteral("too large for a configuration")), qPrintable(error));
    }
};

FROSTGAUGE_TEST_MAIN(MonitorConfigTest)
#include "test-monitor-config.moc"
