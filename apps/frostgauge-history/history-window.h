#pragma once

#include "history/history-store.h"

#include <QMainWindow>

class HistoryPlot;
class QAction;
class QComboBox;
class QLabel;
class QTimer;

// The viewer's window: the plot of one store, a choice of instrument, the
// range shown, exports of that range, and a look at the store every few
// seconds for what the monitor has written since.
class HistoryWindow : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int FollowIntervalMs = 2000;

    explicit HistoryWindow(QWidget *parent = nullptr);

    // Opens the store and shows its whole range. False with error() set when
    // it cannot be opened or is not a history store.
    bool openStore(const QString &path);
    QString error() const { return m_error; }
    HistoryPlot *plot() const { return m_plot; }
    // The toolbar's "Log scale" toggle (key L).
    QAction *logScaleAction() const { return m_logAction; }
    // Shows one series (empty: all). A channel in another unit than kelvin
    // whose values span over two decades (a vacuum) is shown on the
    // logarithmic axis unless the person chose an axis before.
    void chooseSeries(const QString &series);

    // The exports of the range shown; false with error() set.
    bool exportCsv(const QString &path);
    bool exportImage(const QString &path);
    // A note at timeMs on the instrument shown (none when all are), written
    // into the store shown beside the monitor writing it; false with error() set.
    bool addNote(qint64 timeMs, const QString &text);

protected:
    // A right click without a drag on the plot offers "Add note…" at its time
    // (a drag with the right button pans).
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void askForNote(qint64 timeMs);
    void chooseCsvFile();
    void chooseImageFile();
    void showRange(qint64 fromMs, qint64 toMs);
    void fillInstruments();
    void report(const QString &message);

    HistoryStore m_store;
    QString m_path;
    QString m_error;
    QPoint m_rightPressAt;
    HistoryPlot *m_plot;
    QComboBox *m_instruments;
    QLabel *m_rangeLabel;
    QTimer *m_followTimer;
    QAction *m_logAction = nullptr;
};
