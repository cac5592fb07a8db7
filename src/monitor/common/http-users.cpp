#include "monitor/common/http-users.h"

#include <QFile>

#include <sodium.h>

bool readHttpUsers(const QString &path, QVector<HttpUser> *users, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() > 1024 * 1024) {
        *error = QStringLiteral("%1 is too large for a password file").arg(path);
        return false;
    }
    users->clear();
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const int colon = line.indexOf(':');
        const QString name = QString::fromUtf8(line.left(colon)).trimmed();
        const QByteArray hash = line.mid(colon + 1).trimmed();
        if (colon <= 0 || name.isEmpty() || !hash.startsWith("$argon2") || hash.size() >= int(crypto_pwhash_STRBYTES)) {
            *error = QStringLiteral("%1: line %2: takes NAME:HASH, the hash as frostgauge-monitor --hash-password "
                                    "prints it")
                         .arg(path)
                         .arg(i + 1);
            return false;
        }
        for (const HttpUser &user : qAsConst(*users)) {
            if (user.name == name) {
                *error = QStringLiteral("%1: line %2: user %3 again").arg(path).arg(i + 1).arg(name);
                return false;
            }
        }
        users->append({name, hash});
    }
    if (users->isEmpty()) {
        *error = QStringLiteral("%1 names no user").arg(path);
        return false;
    }
    return true;
}

QByteArray hashHttpPassword(const QByteArray &password)
{
    if (sodium_init() < 0)
        return QByteArray();
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.constData(), quint64(password.size()), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE)
        != 0)
        return QByteArray();
    return QByteArray(hash);
}

bool checkHttpLogin(const QVector<HttpUser> &users, const QString &name, const QByteArray &password)
{
    if (sodium_init() < 0)
        return false;
    for (const HttpUser &user : users) {
        if (user.name == name)
            return crypto_pwhash_str_verify(user.hash.constData(), password.constData(), quint64(password.size())) == 0;
    }
    return false;
}
