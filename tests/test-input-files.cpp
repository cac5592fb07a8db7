// Files the operator names or the program remembers: only regular files within
// their bound are read, and nothing blocks.

#include "device/input-file.h"
#include "device/sensor-curve.h"
#include "support/test-files.h"
#include "support/test-main.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

class InputFilesTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    QString fifo()
    {
        const QString path = dir.filePath("fifo");
        if (!QFileInfo::exists(path))
            mkfifo(QFile::encodeName(path).constData(), 0600);
        return path;
    }

    QString socketPath()
    {
        const QString path = dir.filePath("socket");
        if (QFileInfo::exists(path))
            return path;
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
        ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        return path;
    }

private slots:
    void refusals_data()
    {
        // clang-format off
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << dir.filePath("absent.txt") << ": no such file";
        QTest::newRow("folder") << dir.path() << " is a folder, not a file";
        QTest::newRow("FIFO without a writer") << fifo() << " is a pipe (FIFO), not a regular file";
        QTest::newRow("device") << "/dev/zero" << " is a device, not a regular file";
        QTest::newRow("socket") << socketPath() << ": ";
        QTest::newRow("one byte over the bound")
            << writeTestFile(dir, "big.txt", QByteArray(1025, 'x'))
            << " is 1025 bytes, more than such a file can be (at most 1024)";
        QTest::newRow("nothing named") << QString() << "no file named";
        // clang-format on
    }

    void refusals()
    {
        QFETCH(QString, path);
        QFETCH(QString, reason);
        QByteArray data("untouched");
        QString error;
        QVERIFY(!readInputFile(path, 1024, &data, &error));
        QVERIFY2(error.startsWith(path + reason), qPrintable(error));
        QCOMPARE(data, QByteArray("untouched"));
    }

    void fileAtTheBoundIsRead()
    {
        const QByteArray bytes(1024, 'y');
        QByteArray data;
        QString error;
        QVERIFY(readInputFile(writeTestFile(dir, "edge.txt", bytes), 1024, &data, &error));
        QCOMPARE(data, bytes);
        QVERIFY(readInputFile(writeTestFile(dir, "empty.txt", QByteArray()), 1024, &data, &error));
        QVERIFY(data.isEmpty());
    }

    void streamPastTheBoundIsRefused()
    {
        int pipeEnds[2];
        QCOMPARE(::pipe(pipeEnds), 0);
        const QByteArray bytes(300, 'z');
        QCOMPARE(::write(pipeEnds[1], bytes.constData(), size_t(bytes.size())), ssize_t(300));
        ::close(pipeEnds[1]);
        QByteArray data;
        QString error;
        QVERIFY(!readInputStream(pipeEnds[0], "standard input", 200, &data, &error));
        ::close(pipeEnds[0]);
        QCOMPARE(error, QStringLiteral("standard input is larger than 200 bytes, more than such a file can be"));
    }

    // A remembered curve path that is now a FIFO or a folder must not keep the
    // window from showing.
    void storedCurvePathThatCannotBeRead_data()
    {
        // clang-format off
        QTest::addColumn<QString>("path");
        QTest::newRow("FIFO") << fifo();
        QTest::newRow("folder") << dir.path();
        QTest::newRow("device") << "/dev/zero";
        // clang-format on
    }

    void storedCurvePathThatCannotBeRead()
    {
        QFETCH(QString, path);
        QSettings().setValue("/custom-sensor-file", path);
        MainWindow window;
        QVERIFY(window.curveTemperatures.isEmpty());
        QCOMPARE(window.ui->sensorFileEdit->text(), path);
        QVERIFY2(window.statusBar()->currentMessage().startsWith("Curve not loaded: " + path),
                 qPrintable(window.statusBar()->currentMessage()));
        QSettings().clear();
    }
};

FROSTGAUGE_TEST_MAIN(InputFilesTest)
#include "test-input-files.moc"
