#pragma once

// A certificate authority and a server certificate for 127.0.0.1 (and
// localhost), made with openssl in a test's folder: ca.crt, server.crt,
// server.key.

#include "wait-limits.h"

#include <QProcess>
#include <QString>
#include <QStringList>

// False with why when openssl could not make them.
inline bool makeTestCertificates(const QString &folder, QString *why)
{
    const QString d = folder;
    const QStringList steps = {
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=test-ca -keyout " + d + "/ca.key -out " + d
            + "/ca.crt",
        "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout " + d + "/server.key -out " + d
            + "/server.csr",
        "sh -c \"printf 'subjectAltName=IP:127.0.0.1,DNS:localhost' > " + d + "/san.ext\"",
        "openssl x509 -req -in " + d + "/server.csr -CA " + d + "/ca.crt -CAkey " + d
            + "/ca.key -CAcreateserial -days 2 -extfile " + d + "/san.ext -out " + d + "/server.crt",
    };
    for (const QString &step : steps) {
        QProcess process;
        process.start(QProcess::splitCommand(step).first(), QProcess::splitCommand(step).mid(1));
        if (!process.waitForFinished(limitMs()) || process.exitCode() != 0) {
            *why = step + QLatin1Char('\n') + QString::fromLocal8Bit(process.readAllStandardError());
            return false;
        }
    }
    return true;
}
