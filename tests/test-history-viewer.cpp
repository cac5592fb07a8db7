// The history viewer and the headless plot on stores the test writes: two days
// at 1 Hz with one spike and one gap. What is checked is what a person sees
// (pixels of the curve's colour, marker places) and what an export holds.

#include "history-plot/envelope-item.h"
#include "history-plot/history-picker.h"
#include "history-plot/history-plot.h"
#include "history-window.h"
#include "history/history-time.h"
#include "support/cli-run.h"
#include "support/history-sample.h"
#include "support/test-main.h"

#include <QAction>
#include <QApplication>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QSet>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QWheelEvent>
#include <qwt_legend.h>
#include <qwt_legend_label.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_marker.h>
#include <qwt_scale_div.h>
#include <qwt_scale_draw.h>
#include <qwt_scale_map.h>

#include <cmath>
#include <sqlite3.h>
#include <unistd.h>

namespace {

// The image columns where the colour appears at or above row `lowestRow`.
QSet<int> columnsWithColour(const QImage &image, const QColor &colour, const QRect &area, int lowestRow)
{
    QSet<int> columns;
    for (int y = area.top(); y <= qMin(lowestRow, area.bottom()); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (image.pixelColor(x, y).rgb() == colour.rgb())
                columns.insert(x);
        }
    }
    return columns;
}

} // namespace

class HistoryViewerTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    HistorySample sample;

    static qint64 parseTime(const QString &text)
    {
        return QDateTime::fromString(text, Qt::ISODateWithMs).toMSecsSinceEpoch();
    }

private slots:
    void initTestCase() { QVERIFY(sample.write(dir.filePath("two-days.db"), 2)); }

    // At full range one pixel column holds hundreds of readings: the spike,
    // one of them, still reaches its height, and the gap stays empty.
    void spikeAndGapShowAtFullRange()
    {
        HistoryWindow window;
        QVERIFY2(window.openStore(sample.path), qPrintable(window.error()));
        HistoryPlot *plot = window.plot();
        plot->prepareForRendering(QSize(900, 500));
        QVERIFY(plot->showWholeRange());
        QCOMPARE(plot->curves().size(), 1);
        const QImage image = plot->grab().toImage();
        const QRect canvas = plot->canvas()->geometry().adjusted(2, 2, -2, -2);
        const QwtScaleMap xMap = plot->canvasMap(QwtPlot::xBottom);
        const QwtScaleMap yMap = plot->canvasMap(QwtPlot::yLeft);
        const QColor colour = plot->curves().first()->color();

        const int spikeX = canvas.left() - 2 + qRound(xMap.transform(double(sample.spikeMs)));
        const int highRow = plot->canvas()->y() + qRound(yMap.transform(HistorySample::SpikeKelvin * 0.9));
        const QSet<int> high = columnsWithColour(image, colour, canvas, highRow);
        QVERIFY(!high.isEmpty());
        for (int x : high)
            QVERIFY2(qAbs(x - spikeX) <= 2, qPrintable(QStringLiteral("curve at %1, spike at %2").arg(x).arg(spikeX)));

        const int gapLeft = plot->canvas()->x() + qRound(xMap.transform(double(sample.gapFromMs))) + 2;
        const int gapRight = plot->canvas()->x() + qRound(xMap.transform(double(sample.gapToMs))) - 2;
        QVERIFY(gapRight - gapLeft >= 4);
        const QSet<int> inGap = columnsWithColour(
            image, colour, QRect(gapLeft, canvas.top(), gapRight - gapLeft + 1, canvas.height()), canvas.bottom());
        QVERIFY2(inGap.isEmpty(), "the line crosses the gap");
        // Either side of the gap the line is there.
        QVERIFY(
            !columnsWithColour(image, colour, QRect(gapLeft - 12, canvas.top(), 6, canvas.height()), canvas.bottom())
                 .isEmpty());
    }

    void zoomReachesSingleReadings()
    {
        HistoryWindow window;
        QVERIFY(window.openStore(sample.path));
        HistoryPlot *plot = window.plot();
        plot->prepareForRendering(QSize(900, 500));
        plot->setRange(sample.spikeMs - 3000, sample.spikeMs + 3000);
        const QVector<EnvelopePoint> points = plot->curves().first()->points();
        QCOMPARE(points.size(), 7);
        for (int i = 0; i < points.size(); ++i) {
            QCOMPARE(points.at(i).timeMs, sample.spikeMs + (i - 3) * 1000);
            QCOMPARE(points.at(i).lo, points.at(i).hi);
        }
        QCOMPARE(points.at(3).hi, HistorySample::SpikeKelvin);
        // The temperature axis fits what is shown.
        QVERIFY(plot->axisInterval(QwtPlot::yLeft).maxValue() >= HistorySample::SpikeKelvin);
        QVERIFY(plot->axisInterval(QwtPlot::yLeft).minValue() <= HistorySample::BaseKelvin);
        // Never narrower than a few readings.
        plot->setRange(sample.spikeMs, sample.spikeMs + 10);
        QCOMPARE(plot->toMs() - plot->fromMs(), HistoryPlot::MinimumSpanMs);
    }

    // The wheel, a rubber band and the keys all end in a store read for the new range.
    void wheelAndRubberBandZoom()
    {
        HistoryWindow window;
        QVERIFY(window.openStore(sample.path));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        HistoryPlot *plot = window.plot();
        plot->showWholeRange();
        const qint64 whole = plot->toMs() - plot->fromMs();
        QWidget *canvas = plot->canvas();
        const QPoint middle = canvas->rect().center();
        QWheelEvent wheel(middle, canvas->mapToGlobal(middle), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(canvas, &wheel);
        QTRY_VERIFY_WITH_TIMEOUT(plot->toMs() - plot->fromMs() < whole, limitMs());
        QCOMPARE(plot->axisInterval(QwtPlot::xBottom).minValue(), double(plot->fromMs()));

        const QPoint from(canvas->width() / 4, canvas->height() / 2);
        const QPoint to(canvas->width() / 2, canvas->height() / 2 + 10);
        const qint64 wantFrom = qint64(plot->invTransform(QwtPlot::xBottom, from.x()));
        QTest::mousePress(canvas, Qt::LeftButton, Qt::NoModifier, from);
        QMouseEvent move(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(canvas, &move);
        QTest::mouseRelease(canvas, Qt::LeftButton, Qt::NoModifier, to);
        QTRY_VERIFY_WITH_TIMEOUT(qAbs(plot->fromMs() - wantFrom) < (plot->toMs() - plot->fromMs()) / 50, limitMs());
        QVERIFY(!plot->curves().first()->points().isEmpty());
    }

    void markersSitAtEventTimes()
    {
        HistoryWindow window;
        QVERIFY(window.openStore(sample.path));
        HistoryPlot *plot = window.plot();
        plot->prepareForRendering(QSize(900, 500));
        plot->showWholeRange();
        QList<qint64> shown;
        for (const QwtPlotMarker *marker : plot->markers())
            shown << qint64(marker->xValue());
        std::sort(shown.begin(), shown.end());
        QCOMPARE(shown, (QList<qint64>{sample.gapFromMs, sample.gapToMs, sample.spikeMs}));
        // A range without the gap keeps only the spike's marker.
        plot->setRange(sample.spikeMs - 60000, sample.spikeMs + 60000);
        QCOMPARE(plot->markers().size(), 1);
        QCOMPARE(qint64(plot->markers().first()->xValue()), sample.spikeMs);
        QCOMPARE(plot->markers().first()->label().text(), QStringLiteral("cryostat1 alarm raised"));
    }

    // A right click on the plot offers "Add note…" at its time; the note goes
    // into the store shown, signed, and shows as a labelled marker there and
    // in frostgauge-cli history --events. An empty one is refused first.
    void noteFromTheViewer()
    {
        const QString copy = dir.filePath("noted.db");
        QFile::remove(copy);
        QVERIFY(QFile::copy(sample.path, copy));
        HistoryWindow window;
        QVERIFY(window.openStore(copy));
        window.resize(1000, 600);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        HistoryPlot *plot = window.plot();
        plot->setInstrument("cryostat1");
        plot->setRange(sample.spikeMs - 3600000, sample.spikeMs + 3600000);
        const QPoint at = plot->canvas()->rect().center();
        const qint64 expectedMs = qint64(plot->invTransform(QwtPlot::xBottom, at.x()));
        // The menu, then the dialog twice: an empty note is refused with a message.
        QStringList said;
        std::function<void(int)> answer = [&](int step) {
            QTimer::singleShot(20, qApp, [&, step] {
                if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
                    for (QAction *action : menu->actions())
                        if (action->text() == QStringLiteral("Add note…"))
                            menu->setActiveAction(action);
                    QTest::keyClick(menu, Qt::Key_Return);
                    answer(step);
                    return;
                }
                auto *input = qobject_cast<QInputDialog *>(QApplication::activeModalWidget());
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                if (box) {
                    said << box->text();
                    box->accept();
                    answer(step);
                } else if (input) {
                    input->setTextValue(step == 0 ? QStringLiteral("  ") : QStringLiteral("LN2 refilled"));
                    input->accept();
                    if (step == 0)
                        answer(1);
                } else {
                    answer(step);
                }
            });
        };
        answer(0);
        QTest::mousePress(plot->canvas(), Qt::RightButton, Qt::NoModifier, at);
        QTest::mouseRelease(plot->canvas(), Qt::RightButton, Qt::NoModifier, at);
        QCOMPARE(said, QStringList{"A note needs some text."});
        bool labelled = false;
        for (const QwtPlotMarker *marker : plot->markers())
            labelled = labelled
                       || (qAbs(qint64(marker->xValue()) - expectedMs) <= 1
                           && marker->label().text().startsWith(QStringLiteral("cryostat1 LN2 refilled (")));
        QVERIFY(labelled);
        const CliRun events = runCli({"history", copy, "--events", "--json"});
        QCOMPARE(events.code, 0);
        QVERIFY2(events.out.contains("\"detail\":\"LN2 refilled\",\"instrument\":\"cryostat1\",\"kind\":\"note\""),
                 qPrintable(events.out));
        // A note the command line adds shows in the viewer's next look.
        QCOMPARE(
            runCli({"note", copy, "--instrument", "cryostat1", "--at", QString::number(sample.spikeMs), "spike?"}).code,
            0);
        plot->reload();
        QStringList labels;
        for (const QwtPlotMarker *marker : plot->markers())
            labels << marker->label().text();
        QVERIFY2(!labels.filter("cryostat1 spike? (").isEmpty(), qPrintable(labels.join(", ")));
    }

    // The export holds every reading of the range shown, across the gap, and nothing else.
    void csvExportOfTheRangeShown()
    {
        HistoryWindow window;
        QVERIFY(window.openStore(sample.path));
        HistoryPlot *plot = window.plot();
        plot->prepareForRendering(QSize(900, 500));
        const qint64 from = sample.gapFromMs - 600 * 1000 + 500; // between two readings
        const qint64 to = sample.gapToMs + 300 * 1000;           // on one
        plot->setRange(from, to);
        const QString path = dir.filePath("range.csv");
        QVERIFY2(window.exportCsv(path), qPrintable(window.error()));

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.first(), QStringLiteral("time,instrument,temperature_K"));
        QList<qint64> expected;
        for (qint64 t = sample.gapFromMs - 599 * 1000; t <= to; t += 1000) {
            if (t < sample.gapFromMs || t >= sample.gapToMs)
                expected << t;
        }
        QCOMPARE(lines.size() - 1, expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            const QStringList fields = lines.at(i + 1).split(QLatin1Char(','));
            QCOMPARE(fields.size(), 3);
            QCOMPARE(parseTime(fields.at(0)), expected.at(i));
            QCOMPARE(fields.at(1), sample.instrument);
            const qint64 second = (expected.at(i) - sample.startMs) / 1000;
            QCOMPARE(fields.at(2), QString::number(HistorySample::kelvinAt(second), 'f', 3));
        }
    }

    void imageExports_data()
    {
        // clang-format off
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("start");
        QTest::addColumn<QString>("error");
        QTest::newRow("png") << "plot.png" << QByteArray("\x89PNG") << "";
        QTest::newRow("svg") << "plot.svg" << QByteArray("<?xml") << "";
        QTest::newRow("pdf") << "plot.pdf" << QByteArray("%PDF") << "";
        QTest::newRow("unknown kind") << "plot.gif" << QByteArray() << "the file name must end in .png, .svg or .pdf";
        QTest::newRow("no folder") << "missing/plot.png" << QByteArray() << "cannot write";
        QTest::newRow("no folder, svg") << "missing/plot.svg" << QByteArray() << "cannot write in";
        // clang-format on
    }

    void imageExports()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, start);
        QFETCH(QString, error);
        HistoryWindow window;
        QVERIFY(window.openStore(sample.path));
        window.plot()->prepareForRendering(QSize(640, 360));
        window.plot()->showWholeRange();
        const QString path = dir.filePath(name);
        QCOMPARE(window.exportImage(path), error.isEmpty());
        QFile file(path);
        if (!error.isEmpty()) {
            QVERIFY2(window.error().contains(error), qPrintable(window.error()));
            QVERIFY(!file.exists());
            return;
        }
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.read(start.size()) == start);
        // Nothing left beside it.
        QCOMPARE(QDir(dir.path()).entryList({QStringLiteral(".plot*")}, QDir::Files | QDir::Hidden), QStringList());
    }

    void followsWhatTheMonitorWrites()
    {
        const QString path = dir.filePath("growing.db");
        HistoryStore writer;
        QVERIFY(writer.openForWriting(path));
        const qint64 start = sample.startMs;
        for (int i = 0; i < 100; ++i)
            writer.addReading(QStringLiteral("a"), start + i * 1000, 5.0);
        QVERIFY(writer.commit());

        HistoryWindow window;
        QVERIFY(window.openStore(path));
        HistoryPlot *plot = window.plot();
        plot->prepareForRendering(QSize(600, 300));
        QCOMPARE(plot->toMs(), start + 99 * 1000);
        QVERIFY(!plot->follow());

        for (int i = 100; i < 160; ++i)
            writer.addReading(QStringLiteral("b"), start + i * 1000, 6.0);
        QVERIFY(writer.commit());
        // The whole range grows, and the new instrument has its curve.
        QVERIFY(plot->follow());
        QCOMPARE(plot->fromMs(), start);
        QCOMPARE(plot->toMs(), start + 159 * 1000);
        QCOMPARE(plot->curves().size(), 2);

        // A view of the newest readings moves on with them; one of older readings stays.
        plot->setRange(start + 150 * 1000, start + 159 * 1000);
        writer.addReading(QStringLiteral("b"), start + 170 * 1000, 6.0);
        QVERIFY(writer.commit());
        QVERIFY(plot->follow());
        QCOMPARE(plot->toMs(), start + 170 * 1000);
        QCOMPARE(plot->fromMs(), start + 161 * 1000);
        plot->setRange(start, start + 50 * 1000);
        writer.addReading(QStringLiteral("b"), start + 180 * 1000, 6.0);
        QVERIFY(writer.commit());
        QVERIFY(plot->follow());
        QCOMPARE(plot->toMs(), start + 50 * 1000);
    }

    void storesThatCannotBeShown_data()
    {
        // clang-format off
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << "missing.db" << "missing.db: no such file";
        QTest::newRow("folder") << "folder" << "folder is not a regular file";
        QTest::newRow("text") << "notes.txt" << "notes.txt is not a Frostgauge history store";
        QTest::newRow("empty") << "empty.db" << "empty.db is not a Frostgauge history store (it is empty)";
        QTest::newRow("another program's database") << "foreign.db" << "foreign.db is not a Frostgauge history store";
        QTest::newRow("cut short") << "cut.db" << "cut.db is damaged: ";
        QTest::newRow("cut at half") << "half.db" << "half.db is damaged: database disk image is malformed";
        QTest::newRow("missing its log") << "nolog.db" << "nolog.db is missing its write-ahead log (";
        // clang-format on
    }

    void storesThatCannotBeShown()
    {
        QFETCH(QString, name);
        QFETCH(QString, message);
        QDir(dir.path()).mkpath(QStringLiteral("folder"));
        const auto writeFile = [&](const QString &file, const QByteArray &bytes) {
            QFile out(dir.filePath(file));
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(bytes);
        };
        writeFile(QStringLiteral("notes.txt"), "time,temperature\n1,4.2\n");
        writeFile(QStringLiteral("empty.db"), QByteArray());
        QFile whole(sample.path);
        QVERIFY(whole.open(QIODevice::ReadOnly));
        writeFile(QStringLiteral("cut.db"), whole.read(3000));
        whole.seek(0);
        writeFile(QStringLiteral("half.db"), whole.read(whole.size() / 2));
        // A store whose writer is still there, its log deleted from under it.
        HistoryStore writer;
        QVERIFY(writer.openForWriting(dir.filePath(QStringLiteral("nolog.db"))));
        writer.addReading(QStringLiteral("x"), 1000, 4.2);
        QVERIFY(writer.commit());
        QFile::remove(dir.filePath(QStringLiteral("nolog.db-wal")));
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(qPrintable(dir.filePath(QStringLiteral("foreign.db"))), &db), SQLITE_OK);
        sqlite3_exec(db, "CREATE TABLE IF NOT EXISTS readings(t, v)", nullptr, nullptr, nullptr);
        sqlite3_close(db);

        HistoryWindow window;
        QVERIFY(!window.openStore(dir.filePath(name)));
        QVERIFY2(window.error().contains(message), qPrintable(window.error()));
        QVERIFY(window.plot()->curves().isEmpty());
    }

    // frostgauge-cli plot draws the same plot with no display at all.
    void headlessPlotShowsTheSpike()
    {
        const QString png = dir.filePath("headless.png");
        const CliRun run = runCli({"plot", sample.path, "-o", png, "--size", "800x400"},
                                  {{"QT_QPA_PLATFORM", ""}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        QImage image(png);
        QCOMPARE(image.size(), QSize(800, 400));
        // The curve's colour high up in the image only in the spike's few columns.
        HistoryWindow reference;
        QVERIFY(reference.openStore(sample.path));
        const QColor colour = reference.plot()->curves().first()->color();
        const QSet<int> high = columnsWithColour(image, colour, image.rect(), image.height() / 3);
        QVERIFY(!high.isEmpty());
        QVERIFY(*std::max_element(high.begin(), high.end()) - *std::min_element(high.begin(), high.end()) <= 3);
        QVERIFY(columnsWithColour(image, colour, image.rect(), image.height()).size() > 600);
    }

    // A cool-down over three days: 300 K to 4 K on the first, 4 K held on the
    // second, a dilution stage from 4 K to 0.02 K on the last; one reading a minute.
    QString coolDownStore()
    {
        const QString path = dir.filePath(QStringLiteral("cool-down.db"));
        if (QFile::exists(path))
            return path;
        HistoryStore store;
        if (!store.openForWriting(path))
            return QString();
        const qint64 start = parseTime(QStringLiteral("2026-11-01T00:00:00.000Z"));
        for (int minute = 0; minute < 3 * 1440; ++minute) {
            const double day = minute / 1440.0;
            const double kelvin = day < 1   ? 4 + 296 * std::exp(-day * 8)
                                  : day < 2 ? 4.0
                                            : 0.02 + 3.98 * std::exp(-(day - 2) * 10);
            store.addReading(QStringLiteral("cryostat1"), start + minute * 60000LL, kelvin);
        }
        return store.commit() ? path : QString();
    }

    // Rows of the image, in its right third (the last day), where the curve shows.
    static QPair<int, int> rowsOfLastDay(const QImage &image, const QColor &colour)
    {
        int top = image.height();
        int bottom = -1;
        for (int x = image.width() * 70 / 100; x < image.width() * 95 / 100; ++x) {
            for (int y = 0; y < image.height(); ++y) {
                if (image.pixelColor(x, y).rgb() == colour.rgb()) {
                    top = qMin(top, y);
                    bottom = qMax(bottom, y);
                }
            }
        }
        return {top, bottom};
    }

    // On a log axis the last day's dilution stage spreads over the plot; on
    // the linear one it is a few pixels at the bottom. Without --log or
    // --linear, plot takes the log axis for this store.
    void coolDownOnALogAxis_data()
    {
        QTest::addColumn<QStringList>("scale");
        QTest::addColumn<bool>("spread");
        QTest::newRow("--log") << QStringList{"--log"} << true;
        QTest::newRow("--linear") << QStringList{"--linear"} << false;
        QTest::newRow("by default") << QStringList{} << true;
    }

    void coolDownOnALogAxis()
    {
        QFETCH(QStringList, scale);
        QFETCH(bool, spread);
        const QString store = coolDownStore();
        QVERIFY(!store.isEmpty());
        const QString png = dir.filePath(QStringLiteral("cool-down-%1.png").arg(QTest::currentDataTag()));
        const CliRun run = runCli(QStringList{"plot", store, "-o", png, "--size", "1200x600"} + scale);
        QVERIFY2(run.code == 0, qPrintable(run.err));
        const QImage image(png);
        HistoryWindow reference;
        QVERIFY(reference.openStore(store));
        const QPair<int, int> rows = rowsOfLastDay(image, reference.plot()->curves().first()->color());
        QVERIFY(rows.second >= 0);
        const int height = rows.second - rows.first;
        if (spread)
            QVERIFY2(height > image.height() / 3, qPrintable(QString::number(height)));
        else
            QVERIFY2(height < 20, qPrintable(QString::number(height)));
    }

    void logScaleChoice_data()
    {
        QTest::addColumn<double>("lo");
        QTest::addColumn<double>("hi");
        QTest::addColumn<bool>("log");
        QTest::newRow("a cool-down") << 0.02 << 300.0 << true;
        QTest::newRow("liquid nitrogen to room") << 77.0 << 300.0 << false;
        QTest::newRow("a cool-down from room temperature to 4.2 K") << 4.2 << 295.0 << true;
        QTest::newRow("one decade below 30 K") << 2.0 << 25.0 << true;
        QTest::newRow("a warm cryostat") << 40.0 << 300.0 << false;
        QTest::newRow("two decades at room temperature") << 30.0 << 3000.0 << false;
        QTest::newRow("just over two") << 1.0 << 100.5 << true;
        QTest::newRow("base temperature drift") << 0.010 << 0.012 << false;
        QTest::newRow("zero at the bottom") << 0.0 << 300.0 << false;
    }

    void logScaleChoice()
    {
        QFETCH(double, lo);
        QFETCH(double, hi);
        QFETCH(bool, log);
        QCOMPARE(HistoryPlot::suitsLogScale(lo, hi), log);
        // Another unit than kelvin (a pressure) needs two decades whatever its values.
        QCOMPARE(HistoryPlot::suitsLogScale(lo, hi, false), lo > 0 && hi / lo > 100);
    }

    // The viewer's toggle: decades with their labels from 1000 K down to
    // 0.01 K, an axis for an empty range too, and the choice kept for the next run.
    void logScaleInTheViewer()
    {
        const QString store = coolDownStore();
        {
            HistoryWindow window;
            QVERIFY(window.openStore(store));
            QVERIFY(!window.logScaleAction()->isChecked());
            window.logScaleAction()->trigger();
            HistoryPlot *plot = window.plot();
            QVERIFY(plot->logScale());
            const QwtInterval kelvin = plot->axisInterval(QwtPlot::yLeft);
            QCOMPARE(kelvin.minValue(), 0.01);
            QCOMPARE(kelvin.maxValue(), 1000.0);
            const QList<double> ticks = plot->axisScaleDiv(QwtPlot::yLeft).ticks(QwtScaleDiv::MajorTick);
            QStringList labels;
            for (const double tick : ticks)
                labels << plot->axisScaleDraw(QwtPlot::yLeft)->label(tick).text();
            QCOMPARE(labels, QStringList({"0.01", "0.1", "1", "10", "100", "1000"}));
            // Minor ticks within every decade.
            QVERIFY(plot->axisScaleDiv(QwtPlot::yLeft).ticks(QwtScaleDiv::MinorTick).size() >= 5 * 2);
            // An empty range still has its decades.
            plot->setRange(parseTime(QStringLiteral("2030-01-01T00:00:00.000Z")),
                           parseTime(QStringLiteral("2030-01-02T00:00:00.000Z")));
            QCOMPARE(plot->axisInterval(QwtPlot::yLeft).minValue(), 0.01);
            QCOMPARE(plot->axisInterval(QwtPlot::yLeft).maxValue(), 1000.0);
        }
        HistoryWindow again;
        QVERIFY(again.openStore(store));
        QVERIFY(again.logScaleAction()->isChecked());
        QVERIFY(again.plot()->logScale());
        again.logScaleAction()->trigger();
        QVERIFY(!again.plot()->logScale());
    }

    // A line instrument's channel in the viewer: its unit on the axis and in
    // the readout; a temperature as ever.
    void channelsInTheirUnits()
    {
        QTemporaryDir scratch;
        const QString path = scratch.filePath(QStringLiteral("channels.db"));
        {
            HistoryStore writer;
            QVERIFY(writer.openForWriting(path));
            writer.setUnit(QStringLiteral("gauge:pressure"), QStringLiteral("mbar"));
            writer.setUnit(QStringLiteral("cryo"), QStringLiteral("K"));
            for (int i = 0; i < 60; ++i) {
                writer.addReading(QStringLiteral("gauge:pressure"), 1796882400000 + i * 1000, 1e-7 * std::pow(1.2, i));
                writer.addReading(QStringLiteral("cryo"), 1796882400000 + i * 1000, 4.2);
            }
            QVERIFY(writer.commit());
        }
        HistoryWindow window;
        QVERIFY(window.openStore(path));
        HistoryPlot *plot = window.plot();
        QVERIFY(plot->showWholeRange());
        // A vacuum over decades: the logarithmic axis, as nobody chose one yet
        // (an earlier test chose).
        QSettings(QStringLiteral("frostgauge"), QStringLiteral("frostgauge-history"))
            .remove(QStringLiteral("plot/logScale"));
        window.chooseSeries(QStringLiteral("gauge:pressure"));
        QCOMPARE(plot->axisTitle(QwtPlot::yLeft).text(), QStringLiteral("value, mbar"));
        QVERIFY(plot->logScale() && window.logScaleAction()->isChecked());
        plot->setInstrument(QStringLiteral("cryo"));
        QCOMPARE(plot->axisTitle(QwtPlot::yLeft).text(), QStringLiteral("T, K"));
        plot->setInstrument(QString());
        QCOMPARE(plot->axisTitle(QwtPlot::yLeft).text(), QStringLiteral("value"));
        QVERIFY(HistoryPicker::readout(QPointF(1796882400000, 1.234e-6), QStringLiteral("mbar"))
                    .endsWith(QStringLiteral("  1.234e-06 mbar")));
        QVERIFY(HistoryPicker::readout(QPointF(1796882400000, 4.2)).endsWith(QStringLiteral("  4.200 K")));
        // The legend names only the series drawn.
        const auto legendEntries = [&] {
            QStringList names;
            for (QwtPlotItem *item : plot->itemList()) {
                if (item->testItemAttribute(QwtPlotItem::Legend) && item->isVisible())
                    names << item->title().text();
            }
            return names;
        };
        plot->setInstrument(QStringLiteral("cryo"));
        QCOMPARE(legendEntries(), QStringList{"cryo"});
        auto *legend = qobject_cast<QwtLegend *>(plot->legend());
        QVERIFY(legend);
        int shown = 0;
        for (const QwtLegendLabel *label : legend->contentsWidget()->findChildren<QwtLegendLabel *>()) {
            shown += label->isHidden() ? 0 : 1;
        }
        QCOMPARE(shown, 1);
    }

    // A time before now for --from, and --local times with their offset.
    void historyInLocalTime()
    {
        const CliRun run = runCli({"history", sample.path, "--from", "-3000d", "--local"}, {{"TZ", "Europe/Berlin"}});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        const QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
        QVERIFY(lines.size() > 2);
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\+01:00,"))
                     .match(lines.at(1))
                     .hasMatch(),
                 qPrintable(lines.at(1)));
        const CliRun refused = runCli({"history", sample.path, "--from", "-10 fortnights"});
        QCOMPARE(refused.code, 2);
        QVERIFY(refused.err.contains("a time before now (-10m, -12h, -7d, \"2 hours ago\", now)"));
    }

    // history --json is written as it is read: the same rows as the store
    // holds, a JSON array whatever the range.
    void historyAsJson()
    {
        const qint64 from = sample.spikeMs - 5000;
        const qint64 to = sample.spikeMs + 4999;
        const CliRun run =
            runCli({"history", sample.path, "--json", "--from", QString::number(from), "--to", QString::number(to)});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        const QJsonArray rows = QJsonDocument::fromJson(run.out.toUtf8()).array();
        QCOMPARE(rows.size(), 10);
        QCOMPARE(rows.at(5).toObject().value("kelvin").toDouble(), HistorySample::SpikeKelvin);
        QCOMPARE(rows.at(5).toObject().value("time").toString(), isoTime(sample.spikeMs));
        QCOMPARE(rows.at(0).toObject().value("instrument").toString(), sample.instrument);

        const CliRun events = runCli({"history", sample.path, "--json", "--events"});
        const QJsonArray kinds = QJsonDocument::fromJson(events.out.toUtf8()).array();
        QCOMPARE(kinds.size(), 3);
        QCOMPARE(kinds.at(2).toObject().value("kind").toString(), QStringLiteral("alarm raised"));

        const CliRun none = runCli({"history", sample.path, "--json", "--from", "1000", "--to", "2000"});
        QCOMPARE(none.code, 0);
        QCOMPARE(none.out, QStringLiteral("[]\n"));
    }

    // A store that is there but cannot be read is a failure (1); a path that
    // names no store file is a wrong argument (2).
    void historyOnStoresThatCannotBeRead_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file at all
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << QByteArray() << 2 << "no such file";
        QTest::newRow("another program's file")
            << QByteArray("time,temperature\n") << 1 << "is not a Frostgauge history store";
        QTest::newRow("cut short") << QByteArray("SQLite format 3") + QByteArray(200, '\0') << 1 << "";
    }

    void historyOnStoresThatCannotBeRead()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, code);
        QFETCH(QString, message);
        const QString store =
            dir.filePath(QStringLiteral("unreadable-%1.db").arg(QTest::currentDataTag()).replace(' ', '-'));
        if (!content.isEmpty()) {
            QFile file(store);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        const CliRun run = runCli({"history", store});
        QCOMPARE(run.code, code);
        QVERIFY2(run.err.contains(store) && run.err.contains(message), qPrintable(run.err));
    }

    // A reader who may not write beside the store (the service's own folder)
    // reads it as it stands; one who may not read it is told so.
    void historyForAReaderWithoutWriteAccess()
    {
        if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("needs root and setpriv to read as another user");
        const QStringList asNobody{"--reuid=65534", "--regid=65534", "--clear-groups"};
        if (QProcess::execute("setpriv", asNobody + QStringList{FROSTGAUGE_CLI_EXECUTABLE, "--help"}) != 0)
            QSKIP("the command-line client cannot be run by another user here");
        QTemporaryDir folder;
        QVERIFY(QFile::setPermissions(folder.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                         | QFileDevice::ExeOwner | QFileDevice::ReadOther
                                                         | QFileDevice::ExeOther));
        const QString path = folder.filePath("service.db");
        {
            HistoryStore store;
            QVERIFY(store.openForWriting(path));
            store.addReading("cryo", 1796882400000, 4.2);
            QVERIFY(store.commit());
        }
        QProcess reader;
        reader.start("setpriv", asNobody + QStringList{FROSTGAUGE_CLI_EXECUTABLE, "history", path});
        QVERIFY(reader.waitForFinished(limitMs()));
        QVERIFY2(reader.exitCode() == 0, reader.readAllStandardError().constData());
        QVERIFY(reader.readAllStandardOutput().contains(",cryo,4.200"));

        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        reader.start("setpriv", asNobody + QStringList{FROSTGAUGE_CLI_EXECUTABLE, "history", path});
        QVERIFY(reader.waitForFinished(limitMs()));
        const QString err = QString::fromUtf8(reader.readAllStandardError());
        QCOMPARE(reader.exitCode(), 1);
        QVERIFY2(err.contains(path + ": permission denied: "), qPrintable(err));
    }

    void historyRefusesAReversedRange()
    {
        const CliRun run = runCli({"history", sample.path, "--from", "2000", "--to", "1000"});
        QCOMPARE(run.code, 2);
        QVERIFY2(run.err.contains("--from must come before --to"), qPrintable(run.err));
        QVERIFY(run.out.isEmpty());
    }

    // Times are held to 1970 .. 9999 where they enter; the viewer checks its
    // options before it opens a window.
    void timeRanges_data()
    {
        // clang-format off
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args");
        const QString cli = QStringLiteral(FROSTGAUGE_CLI_EXECUTABLE);
        const QString viewer = QStringLiteral(FROSTGAUGE_HISTORY_EXECUTABLE);
        QTest::newRow("history from year 10000") << cli << QStringList{"history", "STORE", "--from", "10000-01-01T00:00:00"};
        QTest::newRow("history from before 1970") << cli << QStringList{"history", "STORE", "--from", "-1"};
        QTest::newRow("history to the 64-bit end") << cli << QStringList{"history", "STORE", "--to", "9223372036854775807"};
        QTest::newRow("plot from the 64-bit start") << cli << QStringList{"plot", "STORE", "-o", "OUT.png", "--from", "-9223372036854775808"};
        QTest::newRow("plot to just past 9999") << cli << QStringList{"plot", "STORE", "-o", "OUT.png", "--to", "253402300800000"};
        QTest::newRow("viewer from year 10000") << viewer << QStringList{"--from", "253402300800000", "STORE"};
        QTest::newRow("viewer to before 1970") << viewer << QStringList{"--to", "1969-12-31T23:00:00Z", "STORE"};
        // clang-format on
    }

    void timeRanges()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        args.replaceInStrings(QStringLiteral("STORE"), sample.path);
        args.replaceInStrings(QStringLiteral("OUT"), dir.filePath(QStringLiteral("range")));
        QProcess run;
        run.start(program, args);
        QVERIFY(run.waitForFinished(limitMs()));
        const QString err = QString::fromUtf8(run.readAllStandardError());
        QCOMPARE(run.exitCode(), 2);
        QVERIFY2(err.contains(QStringLiteral("from 1970 to the end of 9999")), qPrintable(err));
        QVERIFY(run.readAllStandardOutput().isEmpty());
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("range.png"))));
    }

    // A store holding values no kelvin scale holds and times far outside
    // 1970 .. 9999 (damaged, or made by hand): the plot leaves the values off
    // with a readable axis, and no range arithmetic overflows.
    void hostileStoreDrawsReadably()
    {
        const QString path = dir.filePath(QStringLiteral("hostile.db"));
        const qint64 base = parseTime(QStringLiteral("2026-12-01T00:00:00.000Z"));
        {
            HistoryStore store;
            QVERIFY2(store.openForWriting(path), qPrintable(store.error()));
            for (int i = 0; i < 600; ++i)
                store.addReading(QStringLiteral("cryo1"), base + i * 1000, 4 + (i % 10) * 0.1);
            store.addReading(QStringLiteral("cryo1"), base + 300500, 1e308);
            store.addReading(QStringLiteral("cryo1"), base + 300700, -1e308);
            store.addReading(QStringLiteral("cryo1"), std::numeric_limits<qint64>::max() - 5, 4.5);
            store.addReading(QStringLiteral("cryo1"), std::numeric_limits<qint64>::min() + 5, 4.5);
            QVERIFY2(store.commit(), qPrintable(store.error()));
        }
        HistoryWindow window;
        QVERIFY2(window.openStore(path), qPrintable(window.error()));
        HistoryPlot *plot = window.plot();
        plot->setLogScale(false);
        QVERIFY(plot->fromMs() >= EarliestHistoryMs && plot->toMs() <= LatestHistoryMs);
        plot->setRange(base, base + 600000);
        const QwtInterval kelvin = plot->axisInterval(QwtPlot::yLeft);
        QVERIFY2(kelvin.minValue() >= 3 && kelvin.maxValue() <= 6,
                 qPrintable(QStringLiteral("%1 .. %2").arg(kelvin.minValue()).arg(kelvin.maxValue())));
        QVERIFY(plot->leftOff() >= 1);
        plot->setRange(std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max());
        QCOMPARE(plot->fromMs(), EarliestHistoryMs);
        QCOMPARE(plot->toMs(), LatestHistoryMs);
        plot->zoom(1e30);
        plot->pan(-1e30);
        plot->pan(1e30);
        QVERIFY(plot->fromMs() >= EarliestHistoryMs && plot->toMs() <= LatestHistoryMs);

        const QString image = dir.filePath(QStringLiteral("hostile.png"));
        const CliRun run = runCli(
            {"plot", path, "-o", image, "--from", QString::number(base), "--to", QString::number(base + 600000)});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        QVERIFY2(run.err.contains(QStringLiteral("left off the plot")), qPrintable(run.err));
        QVERIFY(QImage(image).width() > 0);
    }

    void headlessPlotRefusesBadInput_data()
    {
        // clang-format off
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("no output") << QStringList{"plot", "STORE"} << "plot needs -o FILE";
        QTest::newRow("unknown kind") << QStringList{"plot", "STORE", "-o", "OUT.jpg"} << "must end in .png, .svg or .pdf";
        QTest::newRow("size") << QStringList{"plot", "STORE", "-o", "OUT.png", "--size", "10x10"} << "--size takes";
        QTest::newRow("size text") << QStringList{"plot", "STORE", "-o", "OUT.png", "--size", "big"} << "--size takes";
        QTest::newRow("unknown instrument") << QStringList{"plot", "STORE", "-o", "OUT.png", "--instrument", "x"}
                                            << "holds no instrument x (it has: cryostat1)";
        QTest::newRow("bad time") << QStringList{"plot", "STORE", "-o", "OUT.png", "--from", "noon"} << "--from takes";
        QTest::newRow("reversed") << QStringList{"plot", "STORE", "-o", "OUT.png", "--from", "2000", "--to", "1000"}
                                  << "--from must come before --to";
        QTest::newRow("no store") << QStringList{"plot", "nothing.db", "-o", "OUT.png"} << "nothing.db: no such file";
        // clang-format on
    }

    void headlessPlotRefusesBadInput()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const QString out = dir.filePath(QStringLiteral("refused"));
        args.replaceInStrings(QStringLiteral("STORE"), sample.path);
        args.replaceInStrings(QStringLiteral("OUT"), out);
        const CliRun run = runCli(args);
        QCOMPARE(run.code, 2);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY(QDir(dir.path()).entryList({QStringLiteral("refused*")}).isEmpty());
    }
};

FROSTGAUGE_TEST_MAIN(HistoryViewerTest)
#include "test-history-viewer.moc"
