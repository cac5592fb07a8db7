// Live temperature text and the plot of the latest readings against age.

#include "support/test-main.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include <qwt_plot.h>
#include <qwt_plot_curve.h>
#include <qwt_scale_div.h>

#include <cmath>

class WindowPlotTest : public QObject
{
    Q_OBJECT

private:
    double now = 0.0;

    void useTestClock(MainWindow &window)
    {
        now = 0.0;
        window.plotSeconds = [this] { return now; };
    }

    static QVector<QPointF> points(const MainWindow &window)
    {
        QVector<QPointF> result;
        for (size_t i = 0; i < window.temperatureCurve->dataSize(); ++i)
            result << window.temperatureCurve->sample(int(i));
        return result;
    }

private slots:
    void temperatureText_data()
    {
        // clang-format off
        QTest::addColumn<double>("kelvin");
        QTest::addColumn<QString>("text");
        QTest::newRow("4.2") << 4.2 << "4.200 K";
        QTest::newRow("300") << 300.0 << "300.000 K";
        QTest::newRow("0.5") << 0.5 << "0.500 K";
        QTest::newRow("1e9, still plotted") << 1e9 << "1000000000.000 K";
        QTest::newRow("1e308") << 1e308 << "1e+308 K";
        QTest::newRow("-1e308") << -1e308 << "-1e+308 K";
        // clang-format on
    }

    void temperatureText()
    {
        QFETCH(double, kelvin);
        MainWindow window;
        window.temperatureChanged(kelvin);
        QTEST(window.ui->temperatureValue->text(), "text");
        QCOMPARE(window.lastTemperature, kelvin);
    }

    void readingsArePlottedAgainstAge()
    {
        MainWindow window;
        useTestClock(window);
        now = 10.0;
        window.temperatureChanged(77.0);
        QCOMPARE(points(window), (QVector<QPointF>{{0.0, 77.0}}));
        now = 11.5;
        window.temperatureChanged(76.0);
        QCOMPARE(points(window), (QVector<QPointF>{{-1.5, 77.0}, {0.0, 76.0}}));
    }

    void historyKeepsTheLatest300()
    {
        MainWindow window;
        useTestClock(window);
        for (int i = 0; i < 301; ++i) {
            now = i * 0.1;
            window.temperatureChanged(100.0 + i);
        }
        const QVector<QPointF> plotted = points(window);
        QCOMPARE(plotted.size(), 300);
        QCOMPARE(window.plotTimes.size(), 300);
        QCOMPARE(plotted.first().y(), 101.0);
        QCOMPARE(plotted.last(), QPointF(0.0, 400.0));
        QVERIFY(qAbs(plotted.first().x() + 29.9) < 1e-9);
    }

    void clearEmptiesThePlotAndKeepsTheText()
    {
        MainWindow window;
        useTestClock(window);
        window.temperatureChanged(4.2);
        now = 1.0;
        window.temperatureChanged(4.3);
        window.ui->plotClearButton->click();
        QCOMPARE(window.temperatureCurve->dataSize(), size_t(0));
        QVERIFY(window.plotTimes.isEmpty() && window.plotAges.isEmpty() && window.plotTemperatures.isEmpty());
        QCOMPARE(window.ui->temperatureValue->text(), QStringLiteral("4.300 K"));
        now = 5.0;
        window.temperatureChanged(4.4);
        QCOMPARE(points(window), (QVector<QPointF>{{0.0, 4.4}}));
    }

    void seriesContinuesOnTheSameTimeBase()
    {
        MainWindow window;
        useTestClock(window);
        window.temperatureChanged(10.0);
        // A closed port in between leaves a gap, nothing more.
        window.serialPortCloseButtonClicked();
        now = 60.0;
        window.temperatureChanged(11.0);
        QCOMPARE(points(window), (QVector<QPointF>{{-60.0, 10.0}, {0.0, 11.0}}));
    }

    void nonFiniteReadingsDoNotBreakThePlot()
    {
        MainWindow window;
        useTestClock(window);
        window.show();
        window.temperatureChanged(qInf());
        now = 1.0;
        window.temperatureChanged(qQNaN());
        now = 2.0;
        window.temperatureChanged(-qInf());
        now = 3.0;
        window.temperatureChanged(4.2);
        QTest::qWait(50);
        QCOMPARE(window.ui->temperatureValue->text(), QStringLiteral("4.200 K"));
        QCOMPARE(points(window), (QVector<QPointF>{{0.0, 4.2}}));
    }

    void unscalableReadingsLeaveTheAxesReadable()
    {
        MainWindow window;
        useTestClock(window);
        window.show();
        window.temperatureChanged(77.0);
        now = 1.0;
        window.temperatureChanged(1e308);
        now = 2.0;
        window.temperatureChanged(-1e308);
        now = 3.0;
        window.temperatureChanged(78.0);
        QTest::qWait(50);
        QCOMPARE(points(window), (QVector<QPointF>{{-3.0, 77.0}, {0.0, 78.0}}));
        const QwtScaleDiv &scale = window.temperaturePlot->axisScaleDiv(QwtPlot::yLeft);
        QVERIFY(std::isfinite(scale.lowerBound()) && std::isfinite(scale.upperBound()));
        QVERIFY(scale.lowerBound() <= 77.0 && scale.upperBound() >= 78.0);
        QVERIFY(scale.ticks(QwtScaleDiv::MajorTick).size() >= 2);
    }

    void realClockRuns()
    {
        MainWindow window;
        window.temperatureChanged(1.0);
        QTest::qWait(120);
        window.temperatureChanged(2.0);
        const QVector<QPointF> plotted = points(window);
        QCOMPARE(plotted.size(), 2);
        QVERIFY(plotted.first().x() <= -0.1);
    }
};

FROSTGAUGE_TEST_MAIN(WindowPlotTest)
#include "test-window-plot.moc"
