#include "monitor-api.h"

#include "cli-output.h"
#include "history/history-note.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

namespace {

const QCommandLineOption userOption(QStringLiteral("user"), QString(), QStringLiteral("NAME"));
const QCommandLineOption passwordFileOption(QStringLiteral("password-file"), QString(), QStringLiteral("FILE"));
const QCommandLineOption caFileOption(QStringLiteral("ca-file"), QString(), QStringLiteral("FILE"));

} // namespace

bool isMonitorAddress(const QString &target)
{
    return target.startsWith(QLatin1String("http://")) || target.startsWith(QLatin1String("https://"));
}

void addLoginOptions(QCommandLineParser &parser)
{
    parser.addOptions({userOption, passwordFileOption, caFileOption});
}

int readLogin(const QCommandLineParser &parser, const QString &target, MonitorApi *api)
{
    const QUrl url(target, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || (url.path() != QLatin1String("/") && !url.path().isEmpty())
        || url.hasQuery() || !url.password().isEmpty())
        return fail(QStringLiteral("%1 is not a monitor's address (http://HOST:PORT or https://HOST:PORT, without a "
                                   "password in it)")
                        .arg(target),
                    Usage);
    api->base = url.adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath).toString();
    api->user = parser.isSet(userOption)   ? parser.value(userOption)
                : url.userName().isEmpty() ? currentUserName()
                                           : url.userName();
    if (parser.isSet(passwordFileOption)) {
        QFile file(parser.value(passwordFileOption));
        if (!file.open(QIODevice::ReadOnly) || file.size() > 4096)
            return fail(QStringLiteral("cannot read the password file %1").arg(file.fileName()), Usage);
        api->password = file.readLine().trimmed();
    } else {
        api->password = qgetenv("FROSTGAUGE_PASSWORD");
    }
    // Sent empty, it would only count as a wrong login at the monitor.
    if (api->password.isEmpty())
        return fail(
            QStringLiteral("no password for %1: give --password-file FILE or FROSTGAUGE_PASSWORD").arg(api->user),
            Usage);
    api->caFile = parser.value(caFileOption);
    return Success;
}

int postToMonitor(const MonitorApi &api, const QString &path, const QJsonObject &object, const QString &done)
{
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(api.base + path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    request.setRawHeader("Authorization", "Basic " + (api.user.toUtf8() + ':' + api.password).toBase64());
    if (!api.caFile.isEmpty()) {
        const QList<QSslCertificate> authorities = QSslCertificate::fromPath(api.caFile);
        if (authorities.isEmpty())
            return fail(QStringLiteral("%1 holds no certificate in PEM form").arg(api.caFile), Usage);
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(authorities);
        request.setSslConfiguration(tls);
    }
    QNetworkReply *reply = network.post(request, QJsonDocument(object).toJson(QJsonDocument::Compact));
    QEventLoop loop;
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    if (!reply->isFinished()) {
        reply->abort();
        return fail(QStringLiteral("%1 did not answer within 30 s").arg(api.base), Failure);
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString answer = QString::fromUtf8(reply->readAll()).trimmed();
    if (status == 0)
        return fail(QStringLiteral("%1: %2").arg(api.base, reply->errorString()), Failure);
    if (status == 401)
        return fail(QStringLiteral("%1 refused the login of %2 (give --password-file or FROSTGAUGE_PASSWORD)")
                        .arg(api.base, api.user),
                    Failure);
    if (status >= 400)
        return fail(QStringLiteral("%1 refused: %2").arg(api.base, answer), status < 500 ? Usage : Failure);
    if (!done.isEmpty())
        out() << done << '\n';
    return Success;
}
