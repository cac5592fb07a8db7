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
    for (int i = 0; i < plotTimes.size(); ++i)
        plotAges[i] = plotTimes.at(i) - t;
    temperatureCurve->setSamples(plotAges.constData(), plotTemperatures.constData(),
                                 plotTemperatures.size());
    temperaturePlot->replot();
}

void MainWindow::plotClearButtonClicked()
{
    plotTimes.clear();
    plotAges.clear();
    plotTemperatures.clear();
    temperatureCurve->setSamples(plotAges.constData(), plotTemperatures.constData(), 0);
    temperaturePlot->replot();
}

void MainWindow::enableSerialOutputButtonClicked()
{
    ui->rs232AutomaticOutputCombo->setCurrentIndex(1);
}
