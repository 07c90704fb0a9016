#ifndef TRENDPLOT_H
#define TRENDPLOT_H

#include "history/readingstate.h"

#include <qwt_plot.h>

#include <QSqlDatabase>
#include <QVector>

#include <memory>
#include <vector>

class QTimer;
class QwtPlotCurve;
class QwtPlotMarker;
class QwtPlotZoomer;

// One device of history.db as the trend draws it.
struct TrendDevice
{
    qint64 id = 0;
    QString area;
    QString name;
    int type = 0;
    DeviceLimits limits;
};

// At most four points per column of width (to - from) / columns, in time
// order: the first, the lowest, the highest and the last of the column, so a
// peak of one reading survives any zoom. A NaN y is a gap and is kept where it
// is; one point beyond each end is kept so the line reaches the edges.
QVector<QPointF> downsample(const QVector<QPointF> &points, double from, double to, int columns);

// The trend of up to eight devices over a time range: readings as lines with
// gaps where the device was offline, had a sensor error or was not polled,
// each device's abnormal and alarm limits as dashed lines in its colour.
// Wheel zooms, a dragged rectangle zooms in, the right button steps back, the
// middle button pans; the tracker shows the time and each device's value.
// All readings of the range stay in memory; only what a column can show is
// handed to the curves, again after every zoom and pan.
class TrendPlot : public QwtPlot
{
    Q_OBJECT

public:
    static constexpr int MaxDevices = 8;
    // No reading for longer than this: the device was not polled (the
    // recorder stores one at least every minute).
    static constexpr qint64 GapMsecs = 150 * 1000;

    explicit TrendPlot(QWidget *parent = nullptr);
    ~TrendPlot() override;

    void setDatabase(const QSqlDatabase &db) { database = db; }
    // Reads and draws the devices over [from, to). follow: the range ends
    // now and moves on with the readings the recorder adds.
    void setTrend(const QVector<TrendDevice> &devices, qint64 from, qint64 to, bool follow);
    void resetZoom();
    bool exportCsv(const QString &path, QString *error) const;
    bool exportPng(const QString &path);

    // Each device's latest reading at or before x, one line per device.
    QString valuesAt(double x) const;

private:
    struct Series;
    void readTail(Series &s, qint64 to);
    void followTail();
    void resample();
    void rescale();

    QSqlDatabase database;
    std::vector<std::unique_ptr<Series>> series;
    qint64 rangeFrom = 0;
    qint64 rangeTo = 0;
    bool following = false;
    QwtPlotZoomer *zoomer;
    QTimer *followTimer;
};

#endif
