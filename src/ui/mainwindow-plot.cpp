// Live temperature display and the plot of the latest readings against age.

#include "mainwindow.h"

#include "ui_mainwindow.h"

#include <cmath>

#include <qwt_plot.h>
#include <qwt_plot_curve.h>

void MainWindow::temperatureChanged(double value)
{
    // The instrument link passes finite readings only; an infinite one would
    // take the plot's scale down with it.
    if (!std::isfinite(value))
        return;
    lastTemperature = value;
    ui->temperatureValue->setText(QString::asprintf("%5.3lf K", value));
    pushPoint();
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
    temperatureCurve->setSamples(plotAges.constData(), plotTemperatures.constData(),
                                 plotTemperatures.size());
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
