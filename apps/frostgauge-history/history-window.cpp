#include "history-window.h"

#include "history-plot/history-plot.h"
#include "history-plot/plot-export.h"
#include "history/history-csv.h"
#include "history/history-note.h"

#include <QAction>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSaveFile>
#include <QSettings>
#include <QStatusBar>
#include <QTextStream>
#include <QTimer>
#include <QToolBar>

namespace {

QString localTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

HistoryWindow::HistoryWindow(QWidget *parent)
    : QMainWindow(parent), m_plot(new HistoryPlot(&m_store, this)), m_instruments(new QComboBox(this)),
      m_rangeLabel(new QLabel(this)), m_followTimer(new QTimer(this))
{
    setWindowTitle(QStringLiteral("Frostgauge history"));
    setCentralWidget(m_plot);
    resize(1100, 640);

    QToolBar *tools = addToolBar(QStringLiteral("View"));
    tools->setMovable(false);
    tools->addWidget(new QLabel(QStringLiteral("Instrument "), this));
    tools->addWidget(m_instruments);
    tools->addSeparator();
    const auto addAction = [&](const QString &text, const QKeySequence &key, auto slot) {
        QAction *action = tools->addAction(text);
        action->setShortcut(key);
        action->setToolTip(QStringLiteral("%1 (%2)").arg(text, key.toString(QKeySequence::NativeText)));
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    addAction(QStringLiteral("Whole range"), QKeySequence(Qt::Key_Home), [this] { m_plot->showWholeRange(); });
    addAction(QStringLiteral("Zoom in"), QKeySequence(Qt::Key_Plus), [this] { m_plot->zoom(0.5); });
    addAction(QStringLiteral("Zoom out"), QKeySequence(Qt::Key_Minus), [this] { m_plot->zoom(2.0); });
    addAction(QStringLiteral("Earlier"), QKeySequence(Qt::Key_Left), [this] { m_plot->pan(-0.25); });
    addAction(QStringLiteral("Later"), QKeySequence(Qt::Key_Right), [this] { m_plot->pan(0.25); });
    tools->addSeparator();
    // A cool-down reads on decades; the choice is kept for the next run.
    m_logAction = addAction(QStringLiteral("Log scale"), QKeySequence(Qt::Key_L), [this](bool checked) {
        m_plot->setLogScale(checked);
        QSettings(QStringLiteral("frostgauge"), QStringLiteral("frostgauge-history"))
            .setValue(QStringLiteral("plot/logScale"), checked);
    });
    m_logAction->setCheckable(true);
    const bool log = QSettings(QStringLiteral("frostgauge"), QStringLiteral("frostgauge-history"))
                         .value(QStringLiteral("plot/logScale"), false)
                         .toBool();
    m_logAction->setChecked(log);
    m_plot->setLogScale(log);
    tools->addSeparator();
    addAction(QStringLiteral("Export CSV…"), QKeySequence(QStringLiteral("Ctrl+E")), [this] { chooseCsvFile(); });
    addAction(QStringLiteral("Export image…"), QKeySequence(QStringLiteral("Ctrl+P")), [this] { chooseImageFile(); });

    statusBar()->addPermanentWidget(m_rangeLabel);
    statusBar()->showMessage(
        QStringLiteral("Drag to zoom into a range, turn the wheel to zoom, drag with the right button to pan"));

    connect(m_instruments, qOverload<int>(&QComboBox::activated), this,
            [this](int index) { chooseSeries(m_instruments->itemData(index).toString()); });
    connect(m_plot, &HistoryPlot::rangeChanged, this, &HistoryWindow::showRange);
    connect(m_plot, &HistoryPlot::readError, this,
            [this](const QString &message) { statusBar()->showMessage(message); });
    m_plot->canvas()->installEventFilter(this);
    m_followTimer->setInterval(FollowIntervalMs);
    connect(m_followTimer, &QTimer::timeout, this, [this] {
        if (m_plot->follow())
            fillInstruments();
    });
}

bool HistoryWindow::openStore(const QString &path)
{
    if (!m_store.openForReading(path)) {
        m_error = m_store.error();
        return false;
    }
    m_path = path;
    setWindowTitle(QStringLiteral("%1 - Frostgauge history").arg(QFileInfo(path).fileName()));
    fillInstruments();
    if (!m_plot->showWholeRange())
        statusBar()->showMessage(QStringLiteral("%1 holds no readings yet; new ones show as they come").arg(path));
    m_followTimer->start();
    return true;
}

bool HistoryWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_plot->canvas()
        && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease)) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::RightButton) {
            if (event->type() == QEvent::MouseButtonPress) {
                m_rightPressAt = mouse->pos();
            } else if ((mouse->pos() - m_rightPressAt).manhattanLength() < 4 && !m_path.isEmpty()) {
                const qint64 at = qint64(m_plot->invTransform(QwtPlot::xBottom, mouse->pos().x()));
                QMenu menu(this);
                QAction *note = menu.addAction(QStringLiteral("Add note…"));
                if (menu.exec(mouse->globalPos()) == note)
                    askForNote(at);
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void HistoryWindow::askForNote(qint64 timeMs)
{
    const QString where = m_plot->instrument().isEmpty() ? QString() : QStringLiteral(" on ") + m_plot->instrument();
    QString text;
    for (;;) {
        bool ok = false;
        text = QInputDialog::getMultiLineText(this, QStringLiteral("Add note"),
                                              QStringLiteral("Note at %1%2:").arg(localTime(timeMs), where), text, &ok);
        if (!ok)
            return;
        const QString problem = noteProblem(text);
        if (problem.isEmpty())
            break;
        QMessageBox::warning(this, QStringLiteral("Add note"), problem.left(1).toUpper() + problem.mid(1) + '.');
    }
    if (!addNote(timeMs, text))
        QMessageBox::warning(this, QStringLiteral("Add note"), m_error);
}

bool HistoryWindow::addNote(qint64 timeMs, const QString &text)
{
    QString problem = noteProblem(text);
    if (problem.isEmpty())
        problem = noteTimeProblem(timeMs, QDateTime::currentMSecsSinceEpoch());
    if (!problem.isEmpty()) {
        m_error = problem;
        return false;
    }
    HistoryStore notes;
    if (!notes.openForNotes(m_path) || !notes.insertNote(m_plot->instrument(), timeMs, text, currentUserName())) {
        m_error = notes.error();
        return false;
    }
    statusBar()->showMessage(QStringLiteral("Note added at %1").arg(localTime(timeMs)));
    m_plot->reload();
    return true;
}

void HistoryWindow::chooseSeries(const QString &series)
{
    m_plot->setInstrument(series);
    const QSettings settings(QStringLiteral("frostgauge"), QStringLiteral("frostgauge-history"));
    if (series.isEmpty() || m_store.unitOf(series) == QLatin1String("K")
        || settings.contains(QStringLiteral("plot/logScale")))
        return;
    double lo = 0;
    double hi = 0;
    const bool log = m_plot->shownSpan(&lo, &hi) && HistoryPlot::suitsLogScale(lo, hi, false);
    m_logAction->setChecked(log);
    m_plot->setLogScale(log);
}

void HistoryWindow::fillInstruments()
{
    const QString current = m_plot->instrument();
    const QStringList names = m_store.instruments();
    if (m_instruments->count() == names.size() + 1)
        return;
    m_instruments->clear();
    m_instruments->addItem(QStringLiteral("All"), QString());
    for (const QString &name : names)
        m_instruments->addItem(name, name);
    m_instruments->setCurrentIndex(qMax(0, m_instruments->findData(current)));
}

void HistoryWindow::showRange(qint64 fromMs, qint64 toMs)
{
    m_rangeLabel->setText(QStringLiteral("%1 to %2").arg(localTime(fromMs), localTime(toMs)));
}

bool HistoryWindow::exportCsv(const QString &path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        m_error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    QTextStream out(&file);
    if (!writeReadingsCsv(m_store, m_plot->instrument(), m_plot->fromMs(), m_plot->toMs(), out)) {
        m_error = m_store.error();
        file.cancelWriting();
        return false;
    }
    out.flush();
    if (out.status() != QTextStream::Ok || !file.commit()) {
        m_error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool HistoryWindow::exportImage(const QString &path)
{
    return exportPlot(m_plot, path, m_plot->size(), &m_error);
}

void HistoryWindow::chooseCsvFile()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export the readings shown"), QString(),
                                                      QStringLiteral("CSV files (*.csv)"));
    if (path.isEmpty())
        return;
    if (exportCsv(path))
        statusBar()->showMessage(QStringLiteral("Readings written to %1").arg(path));
    else
        report(m_error);
}

void HistoryWindow::chooseImageFile()
{
    QString filter;
    QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Export the plot"), QString(),
        QStringLiteral("PNG image (*.png);;SVG drawing (*.svg);;PDF document (*.pdf)"), &filter);
    if (path.isEmpty())
        return;
    // A name without a suffix takes the one of the kind chosen.
    if (QFileInfo(path).suffix().isEmpty())
        path += filter.contains(QLatin1String("svg"))   ? QStringLiteral(".svg")
                : filter.contains(QLatin1String("pdf")) ? QStringLiteral(".pdf")
                                                        : QStringLiteral(".png");
    if (exportImage(path))
        statusBar()->showMessage(QStringLiteral("Plot written to %1").arg(path));
    else
        report(m_error);
}

void HistoryWindow::report(const QString &message)
{
    QMessageBox::warning(this, QStringLiteral("Frostgauge history"), message);
}
