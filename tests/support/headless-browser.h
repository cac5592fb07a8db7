#pragma once

// Debian's chromium, headless, driven over the DevTools protocol on a pipe
// (--remote-debugging-pipe: commands on its descriptor 3, answers on 4): a
// page is opened, its scripts run for as long as the test wants, and then its
// DOM is read or a screenshot taken. --dump-dom alone reads the page as soon
// as it has loaded, before its data and its live stream arrive.

#include "wait-limits.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

class HeadlessBrowser
{
public:
    static bool available() { return !QStandardPaths::findExecutable(QStringLiteral("chromium")).isEmpty(); }

    // Starts the browser with its profile in profileDir; false when it cannot run.
    bool start(const QString &profileDir, const QSize &window = QSize(1280, 900))
    {
        if (::pipe2(m_toBrowser, O_CLOEXEC) != 0 || ::pipe2(m_fromBrowser, O_CLOEXEC) != 0)
            return false;
        m_process.setChildFds(m_toBrowser[0], m_fromBrowser[1]);
        m_process.start(QStringLiteral("chromium"),
                        {"--headless=new", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe", "--no-first-run",
                         "--hide-scrollbars",
                         QStringLiteral("--window-size=%1,%2").arg(window.width()).arg(window.height()),
                         "--user-data-dir=" + profileDir, "about:blank"});
        ::close(m_toBrowser[0]);
        ::close(m_fromBrowser[1]);
        return m_process.waitForStarted(limitMs());
    }

    ~HeadlessBrowser()
    {
        if (m_process.state() != QProcess::NotRunning) {
            command("Browser.close");
            if (!m_process.waitForFinished(limitMs()))
                m_process.kill();
            m_process.waitForFinished(limitMs());
        }
        ::close(m_toBrowser[1]);
        ::close(m_fromBrowser[0]);
    }

    // Opens url in a new tab and lets its scripts run for settleMs.
    bool open(const QString &url, int settleMs)
    {
        const QJsonObject target = command("Target.createTarget", {{"url", url}});
        const QJsonObject attached =
            command("Target.attachToTarget", {{"targetId", target.value("targetId").toString()}, {"flatten", true}});
        m_session = attached.value("sessionId").toString();
        if (m_session.isEmpty())
            return false;
        QTest::qWait(settleMs);
        return true;
    }

    // The same with a login sent with every request of the tab (HTTP basic
    // authentication), as a browser does once the person has typed it.
    bool openWithLogin(const QString &url, const QString &user, const QString &password, int settleMs)
    {
        const QJsonObject target = command("Target.createTarget", {{"url", "about:blank"}});
        const QJsonObject attached =
            command("Target.attachToTarget", {{"targetId", target.value("targetId").toString()}, {"flatten", true}});
        m_session = attached.value("sessionId").toString();
        if (m_session.isEmpty())
            return false;
        command("Network.enable", {}, m_session);
        const QString login = QString::fromLatin1((user + QLatin1Char(':') + password).toUtf8().toBase64());
        command("Network.setExtraHTTPHeaders", {{"headers", QJsonObject{{"Authorization", "Basic " + login}}}},
                m_session);
        command("Page.navigate", {{"url", url}}, m_session);
        QTest::qWait(settleMs);
        return true;
    }

    // The value of a script expression in the page, as JSON gives it.
    QJsonValue evaluate(const QString &expression)
    {
        return command("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, m_session)
            .value("result")
            .toObject()
            .value("value");
    }

    // The page's DOM as it stands now.
    QString dom() { return evaluate(QStringLiteral("document.documentElement.outerHTML")).toString(); }

    // With FROSTGAUGE_SCREENSHOTS=FOLDER the page is kept there as an image
    // named name, to be looked at; without it nothing is written.
    void keepScreenshot(const char *name)
    {
        const QString folder = qEnvironmentVariable("FROSTGAUGE_SCREENSHOTS");
        QFile image(folder + QLatin1Char('/') + QLatin1String(name));
        if (!folder.isEmpty() && image.open(QIODevice::WriteOnly))
            image.write(screenshot());
    }

    QByteArray screenshot()
    {
        return QByteArray::fromBase64(
            command("Page.captureScreenshot", {{"format", "png"}}, m_session).value("data").toString().toLatin1());
    }

private:
    class Process : public QProcess
    {
    public:
        void setChildFds(int in, int out)
        {
            m_in = in;
            m_out = out;
        }

    protected:
        void setupChildProcess() override
        {
            // The protocol's pipe is the child's descriptors 3 and 4.
            ::dup2(m_in, 3);
            ::dup2(m_out, 4);
        }

    private:
        int m_in = -1;
        int m_out = -1;
    };

    // Sends one command and waits for its answer (events between are skipped).
    QJsonObject command(const char *method, const QJsonObject &params = {}, const QString &session = QString())
    {
        QJsonObject message{{"id", ++m_id}, {"method", QLatin1String(method)}, {"params", params}};
        if (!session.isEmpty())
            message.insert("sessionId", session);
        const QByteArray bytes = QJsonDocument(message).toJson(QJsonDocument::Compact) + '\0';
        if (::write(m_toBrowser[1], bytes.constData(), size_t(bytes.size())) != bytes.size())
            return {};
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < limitMs()) {
            int end;
            while ((end = m_buffer.indexOf('\0')) >= 0) {
                const QJsonObject answer = QJsonDocument::fromJson(m_buffer.left(end)).object();
                m_buffer.remove(0, end + 1);
                if (answer.value("id").toInt() == m_id)
                    return answer.value("result").toObject();
            }
            struct pollfd wait = {m_fromBrowser[0], POLLIN, 0};
            if (::poll(&wait, 1, 100) <= 0)
                continue;
            char chunk[65536];
            const ssize_t n = ::read(m_fromBrowser[0], chunk, sizeof chunk);
            if (n <= 0)
                return {};
            m_buffer.append(chunk, int(n));
        }
        return {};
    }

    Process m_process;
    int m_toBrowser[2] = {-1, -1};
    int m_fromBrowser[2] = {-1, -1};
    int m_id = 0;
    QString m_session;
    QByteArray m_buffer;
};
