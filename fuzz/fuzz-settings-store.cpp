// Arbitrary text as the per-user settings file, read as the window reads it at
// start-up: the file check, then the restore into the widgets.

#include "ui/application-identity.h"
#include "ui/mainwindow.h"
#include "ui/settings-file-check.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdint>

namespace {

// Kept for the whole run (and reachable, so not reported as leaks).
QTemporaryDir *configHome = nullptr;
QApplication *application = nullptr;

QString storePath()
{
    static const QString path = [] {
        configHome = new QTemporaryDir;
        qputenv("XDG_CONFIG_HOME", configHome->path().toLocal8Bit());
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("QT_LOGGING_RULES", "*.debug=false;*.warning=false");
        setApplicationIdentity();
        static int argc = 1;
        static char name[] = "fuzz-settings-store";
        static char *argv[] = {name, nullptr};
        application = new QApplication(argc, argv);
        const QString store = nativeSettingsPath();
        QDir().mkpath(QFileInfo(store).path());
        return store;
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    storePath();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = storePath();
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            abort();
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    // The file's size and time may repeat between inputs: Qt must not answer
    // from a cached parse of an earlier one.
    QFile::remove(path + QStringLiteral(".bad"));
    {
        MainWindow window;
        // A value restored is stored again as the operator changes it.
        window.relay1TempSpinChanged(12.5);
    }
    QFile::remove(path);
    return 0;
}
