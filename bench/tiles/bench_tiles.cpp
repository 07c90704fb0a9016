// Creates, places and paints 1000 device tiles the way the monitoring page
// does, and prints the time each step takes (median of several runs) and the
// resident memory the tiles occupy. Run with QT_QPA_PLATFORM=offscreen.
#include "tempwidget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGridLayout>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const int TileCount = 1000;
const int Columns = 8; // a page about 1000 pixels wide
const int Runs = 7;

long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

struct Times { double create, place, paint; };

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One run: the page's content widget with its grid, filled with tiles.
Times fill(QWidget &content, QImage &canvas)
{
    QElapsedTimer clock;
    clock.start();
    std::vector<TempWidget *> tiles;
    tiles.reserve(TileCount);
    for (int i = 0; i < TileCount; ++i) {
        auto *tile = new TempWidget(&content);
        tile->setName(QStringLiteral("Device-%1").arg(i));
        tile->setArea(QStringLiteral("Area-%1").arg(i / 50));
        tile->setDeviceType(i % 4);
        tile->setDeviceAddr(i % 247 + 1);
        tile->setRegAddr(100);
        tile->setMinTemp(0);
        tile->setMinUnnormalTemp(10);
        tile->setMaxUnnormalTemp(60);
        tile->setMaxTemp(80);
        tile->setValue(i * 7 % 1000);
        tiles.push_back(tile);
    }
    const double create = clock.nsecsElapsed() / 1e6;

    clock.restart();
    auto *grid = static_cast<QGridLayout *>(content.layout());
    for (int i = 0; i < TileCount; ++i)
        grid->addWidget(tiles[i], i / Columns, i % Columns);
    grid->activate();
    const double place = clock.nsecsElapsed() / 1e6;

    clock.restart();
    for (TempWidget *tile : tiles)
        tile->render(&canvas);
    const double paint = clock.nsecsElapsed() / 1e6;
    return {create, place, paint};
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QImage canvas(100, 100, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    {
        // Warm up fonts and the paint engine outside the measurement.
        TempWidget warm;
        warm.render(&canvas);
    }

    std::vector<double> create, place, paint, total;
    long rssDelta = 0;
    for (int run = 0; run < Runs; ++run) {
        const long before = residentKiB();
        auto content = std::make_unique<QWidget>();
        new QGridLayout(content.get());
        const Times t = fill(*content, canvas);
        if (run == 0)
            rssDelta = residentKiB() - before;
        create.push_back(t.create);
        place.push_back(t.place);
        paint.push_back(t.paint);
        total.push_back(t.create + t.place + t.paint);
    }

    std::printf("%d tiles, median of %d runs (ms): create %.1f, place %.1f, paint %.1f, total %.1f\n",
                TileCount, Runs, median(create), median(place), median(paint), median(total));
    std::printf("resident memory of the tiles: %ld KiB (%.1f KiB per tile)\n", rssDelta,
                double(rssDelta) / TileCount);
    return 0;
}
