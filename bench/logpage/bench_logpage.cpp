// The log page on generated history: 30 days of 100 devices (histgen), the
// trend of one device over the 30 days from the request to the painted plot,
// the journal's first screen with 1,000,000 events and its slowest step while
// scrolling to the end of 20 pages, and history.db's size per device-month.
// Prints medians; exits 1 when a target is missed.
#include "bench.h"
#include "trendplot.h"
#include "userlog.h"

namespace {

// 30 days of history by histgen into dir/history.db.
bool generate(const QString &dir, const QString &args)
{
    QDir().mkpath(dir);
    QElapsedTimer clock;
    clock.start();
    const int code = QProcess::execute(HISTGEN, args.split(' ') + QStringList{dir + "/history.db"});
    std::printf("  histgen %s: %.1f s\n", qPrintable(args), clock.elapsed() / 1000.0);
    return code == 0;
}

void showMonth(UserLog &page)
{
    page.resize(1280, 800);
    page.show();
    page.findChild<QComboBox *>("cBRange")->setCurrentIndex(3);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString readings = dir.filePath("readings"), journal = dir.filePath("journal");
    if (!generate(readings, "--devices 100 --days 30") || !generate(journal, "--devices 1 --days 30 --extra-events 1000000"))
        return 2;
    const double sizeMiB = QFileInfo(readings + "/history.db").size() / 1048576.0;

    // The trend: one device after another, 30 days each.
    QDir::setCurrent(readings);
    std::vector<double> trend, open, first;
    auto page = std::make_unique<UserLog>();
    showMonth(*page);
    for (int i = 1; i <= 9; ++i) {
        QElapsedTimer clock;
        clock.start();
        page->showTrend("区域-1", QString("设备-%1").arg(i, 3, 10, QLatin1Char('0')));
        page->findChild<TrendPlot *>("plotTrend")->repaint();
        trend.push_back(msSince(clock));
    }

    // The journal: a new page opened on a million events, then scrolled.
    QDir::setCurrent(journal);
    double slowestStep = 0;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer clock;
        clock.start();
        page = std::make_unique<UserLog>();
        open.push_back(msSince(clock));
        clock.restart();
        showMonth(*page);
        auto *table = page->findChild<QTableView *>("tableJournal");
        table->repaint();
        first.push_back(msSince(clock));
        for (int step = 0; run == 0 && step < 20; ++step) {
            clock.restart();
            table->verticalScrollBar()->setValue(table->verticalScrollBar()->maximum());
            QCoreApplication::processEvents();
            table->repaint();
            slowestStep = std::max(slowestStep, msSince(clock));
        }
    }

    const double trendMs = median(trend), firstMs = median(first);
    std::printf("  trend of one device over 30 days, request to painted: %.1f ms (target 300), %zu devices\n", trendMs,
                trend.size());
    std::printf("  journal, first screen: %.1f ms (target 200), page built before it in %.1f ms\n", firstMs,
                median(open));
    std::printf("  journal, slowest of 20 scroll steps to the end: %.1f ms (target 100)\n", slowestStep);
    std::printf("  history.db: %.1f MiB for 100 devices, %.2f MiB per device-month\n", sizeMiB, sizeMiB / 100);
    return trendMs <= 300 && firstMs <= 200 && slowestStep <= 100 ? 0 : 1;
}
