#include "trendplot.h"

#include "csvfile.h"

#include <qwt_date.h>
#include <qwt_date_scale_draw.h>
#include <qwt_date_scale_engine.h>
#include <qwt_legend.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_grid.h>
#include <qwt_plot_magnifier.h>
#include <qwt_plot_marker.h>
#include <qwt_plot_panner.h>
#include <qwt_plot_zoomer.h>
#include <qwt_scale_widget.h>

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();

const QColor kColors[TrendPlot::MaxDevices] = {QColor(31, 119, 180), QColor(255, 127, 14), QColor(44, 160, 44),
                                               QColor(214, 39, 40),  QColor(148, 103, 189), QColor(140, 86, 75),
                                               QColor(227, 119, 194), QColor(23, 190, 207)};

// Lines that stop at every NaN instead of running through a gap.
class GapCurve : public QwtPlotCurve
{
public:
    using QwtPlotCurve::QwtPlotCurve;

protected:
    void drawSeries(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap, const QRectF &canvasRect,
                    int from, int to) const override
    {
        if (to < 0)
            to = int(dataSize()) - 1;
        int start = from;
        for (int i = from; i <= to + 1; ++i) {
            if (i <= to && !std::isnan(sample(i).y()))
                continue;
            if (i - 1 > start)
                QwtPlotCurve::drawSeries(painter, xMap, yMap, canvasRect, start, i - 1);
            start = i + 1;
        }
    }
};

// The rectangle zoom, whose tracker names the time and each device's value.
class TrendZoomer : public QwtPlotZoomer
{
public:
    explicit TrendZoomer(QWidget *canvas) : QwtPlotZoomer(canvas)
    {
        setTrackerMode(AlwaysOn);
    }

protected:
    QwtText trackerTextF(const QPointF &pos) const override
    {
        const QString values = static_cast<const TrendPlot *>(plot())->valuesAt(pos.x());
        QwtText text(QwtDate::toDateTime(pos.x(), Qt::LocalTime).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                     + (values.isEmpty() ? QString() : QLatin1Char('\n') + values));
        text.setBackgroundBrush(QColor(255, 255, 255, 220));
        return text;
    }
};

} // namespace

QVector<QPointF> downsample(const QVector<QPointF> &points, double from, double to, int columns)
{
    const auto lessX = [](const QPointF &p, double x) { return p.x() < x; };
    const auto xLess = [](double x, const QPointF &p) { return x < p.x(); };
    const int begin = qMax(0, int(std::lower_bound(points.begin(), points.end(), from, lessX) - points.begin()) - 1);
    const int end = qMin(points.size(),
                         int(std::upper_bound(points.begin(), points.end(), to, xLess) - points.begin()) + 1);
    if (columns <= 0 || !(to > from))
        return points.mid(begin, end - begin);

    QVector<QPointF> out;
    const double width = (to - from) / columns;
    qint64 column = std::numeric_limits<qint64>::min();
    int first = -1, low = -1, high = -1, last = -1;
    const auto flush = [&] {
        if (first < 0)
            return;
        int kept[] = {first, low, high, last};
        std::sort(std::begin(kept), std::end(kept));
        for (int k = 0; k < 4; ++k)
            if (k == 0 || kept[k] != kept[k - 1])
                out.append(points.at(kept[k]));
        first = -1;
    };
    for (int i = begin; i < end; ++i) {
        const QPointF &p = points.at(i);
        if (std::isnan(p.y())) {
            flush();
            out.append(p);
            continue;
        }
        const qint64 c = qint64(std::floor((p.x() - from) / width));
        if (c != column) {
            flush();
            column = c;
        }
        if (first < 0) {
            first = low = high = last = i;
            continue;
        }
        if (p.y() < points.at(low).y())
            low = i;
        if (p.y() > points.at(high).y())
            high = i;
        last = i;
    }
    flush();
    return out;
}

struct TrendPlot::Series
{
    TrendDevice device;
    QVector<QPointF> points; // x: msecs since the epoch; y: NaN for a gap
    qint64 lastT = 0;
    QwtPlotCurve *curve = nullptr;
    std::vector<QwtPlotMarker *> limits;

    ~Series()
    {
        delete curve;
        for (QwtPlotMarker *m : limits)
            delete m;
    }
};

TrendPlot::TrendPlot(QWidget *parent) : QwtPlot(parent), followTimer(new QTimer(this))
{
    setCanvasBackground(Qt::white);
    auto *dates = new QwtDateScaleDraw(Qt::LocalTime);
    const struct { QwtDate::IntervalType step; const char *format; } formats[] = {
        {QwtDate::Millisecond, "HH:mm:ss.zzz"}, {QwtDate::Second, "HH:mm:ss"}, {QwtDate::Minute, "HH:mm"},
        {QwtDate::Hour, "MM-dd HH:mm"}, {QwtDate::Day, "MM-dd"}, {QwtDate::Week, "MM-dd"},
        {QwtDate::Month, "yyyy-MM"}, {QwtDate::Year, "yyyy"}};
    for (const auto &f : formats)
        dates->setDateFormat(f.step, QString::fromLatin1(f.format));
    setAxisScaleDraw(xBottom, dates);
    setAxisScaleEngine(xBottom, new QwtDateScaleEngine(Qt::LocalTime));
    insertLegend(new QwtLegend, BottomLegend);
    auto *grid = new QwtPlotGrid;
    grid->setMajorPen(QColor(220, 220, 220), 0, Qt::DotLine);
    grid->attach(this);

    zoomer = new TrendZoomer(canvas());
    auto *magnifier = new QwtPlotMagnifier(canvas());
    magnifier->setMouseButton(Qt::NoButton); // the right button belongs to the zoomer
    auto *panner = new QwtPlotPanner(canvas());
    panner->setMouseButton(Qt::MiddleButton);
    // Whatever changed the time axis, the curves get points for the new span.
    connect(axisWidget(xBottom), &QwtScaleWidget::scaleDivChanged, this, &TrendPlot::resample);

    // The recorder writes at most once a second.
    followTimer->setInterval(2000);
    connect(followTimer, &QTimer::timeout, this, &TrendPlot::followTail);
}

TrendPlot::~TrendPlot() = default;

void TrendPlot::setTrend(const QVector<TrendDevice> &devices, qint64 from, qint64 to, bool follow)
{
    series.clear();
    rangeFrom = from;
    rangeTo = to;
    following = follow;
    for (const TrendDevice &device : devices.mid(0, MaxDevices)) {
        auto s = std::make_unique<Series>();
        s->device = device;
        s->lastT = from - 1;
        const QColor color = kColors[series.size()];
        s->curve = new GapCurve(device.area + QLatin1Char('/') + device.name + QLatin1Char(' ') + unitOf(device.type));
        s->curve->setPen(color, 1.5);
        s->curve->setRenderHint(QwtPlotItem::RenderAntialiased, false);
        s->curve->attach(this);
        const struct { double value; Qt::PenStyle style; } limits[] = {
            {device.limits.alarmLow, Qt::DashDotLine}, {device.limits.abnormalLow, Qt::DashLine},
            {device.limits.abnormalHigh, Qt::DashLine}, {device.limits.alarmHigh, Qt::DashDotLine}};
        for (const auto &limit : limits) {
            auto *marker = new QwtPlotMarker;
            marker->setLineStyle(QwtPlotMarker::HLine);
            marker->setLinePen(color, 1, limit.style);
            marker->setYValue(limit.value);
            marker->setItemAttribute(QwtPlotItem::Legend, false);
            marker->attach(this);
            s->limits.push_back(marker);
        }
        readTail(*s, to);
        series.push_back(std::move(s));
    }
    rescale();
    if (following)
        followTimer->start();
    else
        followTimer->stop();
}

void TrendPlot::readTail(Series &s, qint64 to)
{
    QSqlQuery q(database);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT t, value FROM readings WHERE device = ? AND t > ? AND t < ? ORDER BY t"));
    q.addBindValue(s.device.id);
    q.addBindValue(s.lastT);
    q.addBindValue(to);
    if (!q.exec())
        return;
    qint64 previous = s.points.isEmpty() ? std::numeric_limits<qint64>::min() : qint64(s.points.last().x());
    while (q.next()) {
        const qint64 t = q.value(0).toLongLong();
        const QVariant value = q.value(1);
        if (previous != std::numeric_limits<qint64>::min() && t - previous > GapMsecs)
            s.points.append(QPointF(previous + 1, NaN));
        s.points.append(QPointF(t, value.isNull() ? NaN : value.toDouble()));
        previous = t;
    }
    if (!s.points.isEmpty())
        s.lastT = qint64(s.points.last().x());
}

void TrendPlot::followTail()
{
    if (!isVisible())
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 span = rangeTo - rangeFrom;
    rangeTo = now + 1;
    rangeFrom = rangeTo - span;
    for (auto &s : series)
        readTail(*s, rangeTo);
    // A zoomed-in view stays where the user put it.
    if (zoomer->zoomRectIndex() == 0)
        rescale();
    else
        replot();
}

void TrendPlot::rescale()
{
    double low = std::numeric_limits<double>::max(), high = std::numeric_limits<double>::lowest();
    for (const auto &s : series) {
        for (const QPointF &p : s->points)
            if (!std::isnan(p.y()) && p.x() >= rangeFrom) {
                low = qMin(low, p.y());
                high = qMax(high, p.y());
            }
        low = qMin(low, s->device.limits.alarmLow);
        high = qMax(high, s->device.limits.alarmHigh);
    }
    if (series.empty()) {
        low = 0;
        high = 100;
    }
    const double margin = qMax((high - low) * 0.05, 0.5);
    setAxisScale(yLeft, low - margin, high + margin);
    setAxisScale(xBottom, rangeFrom, rangeTo);
    replot();
    zoomer->setZoomBase(false);
}

void TrendPlot::resetZoom()
{
    zoomer->zoom(0);
}

void TrendPlot::resample()
{
    const QwtScaleDiv &div = axisScaleDiv(xBottom);
    const int columns = qMax(1, canvas()->width());
    for (auto &s : series)
        s->curve->setSamples(downsample(s->points, div.lowerBound(), div.upperBound(), columns));
}

QString TrendPlot::valuesAt(double x) const
{
    QStringList lines;
    for (const auto &s : series) {
        const auto it = std::upper_bound(s->points.begin(), s->points.end(), x,
                                         [](double v, const QPointF &p) { return v < p.x(); });
        if (it == s->points.begin())
            continue;
        const double y = (it - 1)->y();
        lines << s->device.name + QStringLiteral(": ")
                     + (std::isnan(y) ? tr("无数据") : valueText(s->device.type, y) + unitOf(s->device.type));
    }
    return lines.join(QLatin1Char('\n'));
}

bool TrendPlot::exportCsv(const QString &path, QString *error) const
{
    CsvFile csv(path);
    if (!csv.open()) {
        *error = csv.errorString();
        return false;
    }
    csv.writeRow({QStringLiteral("time"), QStringLiteral("area"), QStringLiteral("device"), QStringLiteral("value"),
                  QStringLiteral("unit"), QStringLiteral("state")});
    QSqlQuery q(database);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT t, value, state FROM readings WHERE device = ? AND t >= ? AND t < ? ORDER BY t"));
    for (const auto &s : series) {
        q.addBindValue(s->device.id);
        q.addBindValue(rangeFrom);
        q.addBindValue(rangeTo);
        if (!q.exec()) {
            *error = q.lastError().text();
            return false;
        }
        const QString unit = unitOf(s->device.type);
        while (q.next()) {
            const QVariant value = q.value(1);
            csv.writeRow({CsvFile::localTime(q.value(0).toLongLong()), s->device.area, s->device.name,
                          value.isNull() ? QString() : valueText(s->device.type, value.toDouble()), unit,
                          stateName(ReadingState(q.value(2).toInt()))});
        }
    }
    if (!csv.commit()) {
        *error = csv.errorString();
        return false;
    }
    return true;
}

bool TrendPlot::exportPng(const QString &path)
{
    return grab().save(path, "PNG");
}
