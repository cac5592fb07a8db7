#include "history-plot/plot-export.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QSaveFile>
#include <QTemporaryFile>
#include <qwt_plot.h>
#include <qwt_plot_renderer.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr double PixelsPerMm = 96.0 / 25.4;

bool renderPng(QwtPlot *plot, const QString &path, const QSize &pixels, QString *error)
{
    QImage image(pixels, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        QwtPlotRenderer().render(plot, &painter, QRectF(QPointF(0, 0), QSizeF(pixels)));
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG") || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// QwtPlotRenderer writes SVG and PDF to a file name of its own choosing, with
// no word on failure: it writes a temporary file that is checked and renamed.
bool renderDocument(QwtPlot *plot, const QString &path, const QString &kind, const QSize &pixels, QString *error)
{
    const QFileInfo target(path);
    QTemporaryFile scratch(target.absoluteDir().filePath(QStringLiteral(".%1.XXXXXX").arg(target.fileName())));
    if (!scratch.open()) {
        *error = QStringLiteral("cannot write in %1: %2").arg(target.absolutePath(), scratch.errorString());
        return false;
    }
    scratch.close();
    QwtPlotRenderer().renderDocument(plot, scratch.fileName(), kind, QSizeF(pixels) / PixelsPerMm, 96);
    if (QFileInfo(scratch.fileName()).size() == 0) {
        *error = QStringLiteral("cannot write %1: the %2 renderer wrote nothing").arg(path, kind.toUpper());
        return false;
    }
    // A temporary file is the owner's alone; the plot is for sharing.
    QFile::setPermissions(scratch.fileName(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    // rename() replaces an existing file in one step.
    if (std::rename(QFile::encodeName(scratch.fileName()).constData(), QFile::encodeName(path).constData()) != 0) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    scratch.setAutoRemove(false);
    return true;
}

} // namespace

QString plotFileKinds()
{
    return QStringLiteral(".png, .svg or .pdf");
}

bool isPlotFileName(const QString &path)
{
    const QString kind = QFileInfo(path).suffix().toLower();
    return kind == QLatin1String("png") || kind == QLatin1String("svg") || kind == QLatin1String("pdf");
}

bool exportPlot(QwtPlot *plot, const QString &path, const QSize &pixels, QString *error)
{
    const QString kind = QFileInfo(path).suffix().toLower();
    if (pixels.width() < 16 || pixels.height() < 16 || pixels.width() > 20000 || pixels.height() > 20000) {
        *error = QStringLiteral("a plot is from 16 to 20000 pixels wide and high");
        return false;
    }
    if (!isPlotFileName(path)) {
        *error = QStringLiteral("%1: the file name must end in %2").arg(path, plotFileKinds());
        return false;
    }
    return kind == QLatin1String("png") ? renderPng(plot, path, pixels, error)
                                        : renderDocument(plot, path, kind, pixels, error);
}
