// The log page on generated history: 30 days of 100 devices (histgen), the
// trend of one device over the 30 days from the request to the painted plot,
// the journal's first screen with 1,000,000 events and its slowest step while
// scrolling to the end of 20 pages, and history.db's size per device-month.
// Prints medians; exits 1 when a target is missed. Run with QT_QPA_PLATFORM=offscreen.
#include "trendplot.h"
#include "userlog.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const int Devices = 100;
const int Days = 30;
const int JournalEvents = 1000000;
const double TrendTargetMs = 300, JournalTargetMs = 200, ScrollTargetMs = 100;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double msSince(const QElapsedTimer &clock)
{
    return clock.nsecsElapsed() / 1e6;
}

bool generate(const QString &dir, const QStringList &args)
{
    QDir().mkpath(dir);
    QElapsedTimer clock;
    clock.start();
    const int code = QProcess::execute(QStringLiteral(HISTGEN), args + QStringList{dir + QStringLiteral("/history.db")});
    std::printf("  histgen %s: %.1f s\n", qPrintable(args.join(QLatin1Char(' '))), clock.elapsed() / 1000.0);
    return code == 0;
}

bool met(double value, double target)
{
    return value <= target;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString readings = dir.filePath(QStringLiteral("readings")), journal = dir.filePath(QStringLiteral("journal"));
    std::printf("generating\n");
    if (!generate(readings, {QStringLiteral("--devices"), QString::number(Devices), QStringLiteral("--days"), QString::number(Days)})
        || !generate(journal, {QStringLiteral("--devices"), QStringLiteral("1"), QStringLiteral("--days"),
                               QString::number(Days), QStringLiteral("--extra-events"), QString::number(JournalEvents)}))
        return 2;
    const double sizeMiB = QFileInfo(readings + QStringLiteral("/history.db")).size() / 1048576.0;

    // The trend: one device after another, 30 days each.
    QDir::setCurrent(readings);
    std::vector<double> trend;
    {
        UserLog page;
        page.resize(1280, 800);
        page.show();
        page.findChild<QComboBox *>(QStringLiteral("cBRange"))->setCurrentIndex(3);
        QCoreApplication::processEvents();
        auto *plot = page.findChild<TrendPlot *>(QStringLiteral("plotTrend"));
        for (int i = 1; i <= 9; ++i) {
            QElapsedTimer clock;
            clock.start();
            page.showTrend(QStringLiteral("区域-%1").arg((i - 1) / 10 + 1), QStringLiteral("设备-%1").arg(i, 3, 10, QLatin1Char('0')));
            plot->repaint();
            trend.push_back(msSince(clock));
        }
    }

    // The journal: a new page opened on a million events, then scrolled.
    QDir::setCurrent(journal);
    std::vector<double> open, first;
    double slowestStep = 0;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer clock;
        clock.start();
        UserLog page;
        page.resize(1280, 800);
        open.push_back(msSince(clock));
        clock.restart();
        page.show();
        page.findChild<QComboBox *>(QStringLiteral("cBRange"))->setCurrentIndex(3);
        auto *table = page.findChild<QTableView *>(QStringLiteral("tableJournal"));
        table->repaint();
        first.push_back(msSince(clock));
        if (run == 0) {
            for (int step = 0; step < 20; ++step) {
                clock.restart();
                table->verticalScrollBar()->setValue(table->verticalScrollBar()->maximum());
                QCoreApplication::processEvents();
                table->repaint();
                slowestStep = std::max(slowestStep, msSince(clock));
            }
        }
    }

    const double trendMs = median(trend), firstMs = median(first);
    std::printf("%d devices over %d days; %d events in the journal; medians\n", Devices, Days, JournalEvents);
    std::printf("  trend of one device over %d days, request to painted: %.1f ms (target %.0f), %zu devices\n", Days,
                trendMs, TrendTargetMs, trend.size());
    std::printf("  journal, first screen: %.1f ms (target %.0f), page built before it in %.1f ms\n", firstMs,
                JournalTargetMs, median(open));
    std::printf("  journal, slowest of 20 scroll steps to the end: %.1f ms (target %.0f)\n", slowestStep,
                ScrollTargetMs);
    std::printf("  history.db: %.1f MiB for %d devices, %.2f MiB per device-month\n", sizeMiB, Devices,
                sizeMiB / Devices * 30.0 / Days);
    return met(trendMs, TrendTargetMs) && met(firstMs, JournalTargetMs) && met(slowestStep, ScrollTargetMs) ? 0 : 1;
}
