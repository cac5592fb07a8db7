// Live temperature display and the plot of the latest readings against age.

#include "mainwindow.h"

#include "device/log-categories.h"
#include "ui_mainwindow.h"

#include <QDebug>

#include <cmath>

namespace {
// Far above any temperature the instrument can read, far below where the
// plot's scale arithmetic overflows.
constexpr double MaxPlottedKelvin = 1e9;
} // namespace

#include <qwt_plot.h>
#include <qwt_plot_curve.h>

void MainWindow::temperatureChanged(double value)
{
    // The instrument link passes finite readings only; an infinite one would
    // take the plot's scale down with it.
    if (!std::isfinite(value))
        return;
    lastTemperature = value;
    // A reading far outside any temperature (a broken sensor line, a wrong
    // device) is shown, but in a form that fits the label, and it stays off
    // the plot: scaled with the others it would leave axes with no readable tick.
    const bool plottable = std::fabs(value) <= MaxPlottedKelvin;
    ui->temperatureValue->setText(QString::asprintf(plottable ? "%5.3lf K" : "%.6g K", value));
    if (plottable)
        pushPoint();
    else
        qCDebug(lcUi) << "reading" << value << "K left off the plot";
}

void MainWindow::pushPoint()
{
    const double t = plotSeconds();
    for (QVector<double> *series : {&plotTimes, &plotAges, &plotTemperatures}) {
        if (series->size() >= plotHistoryLength)
            series->removeFirst();
    }
    plotTimes.append(t);
    plotAges.append(t);
    plotTemperatures.append(lastTemperature);
    // Ages are recomputed at every reading: the newest sits at 0, older ones at
    // their age in negative seconds.
    double *ages = plotAges.data();
    const double *times = plotTimes.constData();
    for (int i = 0, n = plotTimes.size(); i < n; ++i)
        ages[i] = times[i] - t;
    temperatureCurve->setSamples(plotAges.constData(), plotTemperatures.constData(), plotTemperatures.size());
    scheduleReplot();
}

void MainWindow::scheduleReplot()
{
    // The plot is redrawn once the readings of the current read are in: a read
    // that delivers a hundred readings redraws once, not a hundred times, and
    // what the operator sees is the same.
    if (replotPending)
        return;
    replotPending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            replotPending = false;
            temperaturePlot->replot();
        },
        Qt::QueuedConnection);
}

void MainWindow::plotClearButtonClicked()
{
    plotTimes.clear();
    plotAges.clear();
    plotTemperatures.clear();
    temperatureCurve->setSamples(plotAges.constData(), plotTemperatures.constData(), 0);
    scheduleReplot();
}

void MainWindow::enableSerialOutputButtonClicked()
{
    ui->rs232AutomaticOutputCombo->setCurrentIndex(1);
}
