#pragma once

// Writing to a running frostgauge-monitor through its web API (notes and
// acknowledgements), with a login: the user is --user (or the login name), the
// password is read from --password-file or FROSTGAUGE_PASSWORD, never from the
// command line.

#include <QCommandLineParser>
#include <QJsonObject>
#include <QString>

struct MonitorApi {
    QString base; // http(s)://HOST:PORT
    QString user;
    QByteArray password;
    QString caFile;
};

// Whether a command's TARGET names a monitor (http:// or https://) rather than a store.
bool isMonitorAddress(const QString &target);
void addLoginOptions(QCommandLineParser &parser);
// Reads the login options; prints the error and returns its exit code, Success otherwise.
int readLogin(const QCommandLineParser &parser, const QString &target, MonitorApi *api);
// POSTs the object to path; prints what the monitor refused and returns the exit code.
// done: printed on standard output once the monitor took it (empty: nothing).
int postToMonitor(const MonitorApi &api, const QString &path, const QJsonObject &object,
                  const QString &done = QString());
