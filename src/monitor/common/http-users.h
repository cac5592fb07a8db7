#pragma once

// The dashboard's logins: a file of NAME:HASH lines, one per user, the hash in
// libsodium's password-hash form (Argon2id, as frostgauge-monitor
// --hash-password prints it). Passwords themselves are never stored.

#include "monitor/common/monitor-config.h"

// Reads the file; false with error as "line N: ..." or the system's reason.
bool readHttpUsers(const QString &path, QVector<HttpUser> *users, QString *error);
// The stored form of a password; empty when libsodium cannot make one.
QByteArray hashHttpPassword(const QByteArray &password);
// Whether name and password match a user of the list.
bool checkHttpLogin(const QVector<HttpUser> &users, const QString &name, const QByteArray &password);
