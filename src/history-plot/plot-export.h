#pragma once

#include <QSize>
#include <QString>

class QwtPlot;

// Renders the plot as it stands into an image file whose suffix says the kind:
// .png, .svg or .pdf, at the given size in pixels (96 per inch for the two
// vector kinds). The file appears whole or not at all: it is written beside
// its place and renamed into it. False with error set otherwise.
bool exportPlot(QwtPlot *plot, const QString &path, const QSize &pixels, QString *error);

// The suffixes exportPlot knows, for messages, and whether a path has one.
QString plotFileKinds();
bool isPlotFileName(const QString &path);
