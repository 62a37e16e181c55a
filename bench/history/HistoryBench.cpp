// Figures for the reading history, on a generated year of readings at 60-second steps:
//   bench_history            prints the insert times, the database size and the history
//                            window's opening time
//   bench_history shot OUT.png [dark]
//                            renders the history window with a demo week to OUT.png
//   bench_history seed PATH NOW FIVE_RESET
//                            writes four rising five-hour readings ending ten minutes
//                            before NOW into the store at PATH (for the menu screenshot)

#include "app/HistoryWindow.h"
#include "history/HistoryRecorder.h"
#include "history/HistoryStore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPalette>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStyle>
#include <QStyleFactory>
#include <QThread>
#include <QTemporaryDir>
#include <QTimeZone>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

using namespace tallyglass;

namespace {

constexpr double step = 60;
constexpr double year = 365 * 86400.0;

// A plausible reading at `t`: the five-hour window fills at a pace that changes from
// window to window and the week fills across the week; both reset on schedule.
UsageSnapshot demoReading(double t)
{
    const double fiveStart = std::floor(t / 18000) * 18000;
    const double weekStart = std::floor(t / 604800) * 604800;
    const double pace = 40 + std::fmod(fiveStart / 18000 * 37, 70); // percent per window
    const auto five = std::int64_t(std::min(100.0, (t - fiveStart) / 18000 * pace));
    const auto week = std::int64_t(std::min(100.0, (t - weekStart) / 604800 * 85));
    return UsageSnapshot{UsageWindow{five, 300, fiveStart + 18000}, UsageWindow{week, 10080, weekStart + 604800}, t};
}

// Bulk rows in one transaction, through the store's own schema.
void generate(const QString& path, double from, double to)
{
    { HistoryStore(path).prune(to); } // creates the file and its table
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("generate"));
    db.setDatabaseName(path);
    db.open();
    db.transaction();
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO readings VALUES (?, 0, 0, 'codex', NULL, ?, ?, ?, ?, ?, ?)"));
    for (double t = from; t < to; t += step) {
        const UsageSnapshot r = demoReading(t);
        q.addBindValue(qint64(std::llround(t * 1000)));
        for (const UsageWindow& w : {*r.fiveHour, *r.week}) {
            q.addBindValue(qint64(w.usedPercent));
            q.addBindValue(qint64(*w.durationMinutes));
            q.addBindValue(*w.resetsAt);
        }
        q.exec();
    }
    db.commit();
    QSqlQuery(db).exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    q = QSqlQuery();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("generate"));
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

class PaintCounter : public QObject {
public:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
    int paints = 0;
};

int measure()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.sqlite3"));
    const double now = std::floor(QDateTime::currentSecsSinceEpoch() / 60.0) * 60;
    QElapsedTimer timer;
    timer.start();
    generate(path, now - year, now);
    std::printf("generated %lld readings (a year at 60 s) in %.1f s\n", qint64(year / step), timer.elapsed() / 1e3);
    std::printf("database size: %.1f MB\n", QFileInfo(path).size() / 1e6);

    // A write as the history thread does it: one transaction per reading, on the year.
    std::vector<double> writes;
    {
        HistoryStore store(path);
        for (int i = 0; i < 201; ++i) {
            timer.restart();
            store.record(demoReading(now + i * step));
            writes.push_back(timer.nsecsElapsed() / 1e6);
        }
    }
    std::printf("insert on the history thread (HistoryStore::record): median %.3f ms, max %.3f ms\n",
                median(writes), *std::max_element(writes.begin(), writes.end()));
    // The same with two other buckets, each of its own row.
    writes.clear();
    {
        HistoryStore store(path);
        for (int i = 0; i < 201; ++i) {
            const UsageSnapshot r = demoReading(now + (201 + i) * step);
            const std::vector<LimitBucket> others{{QStringLiteral("a"), QStringLiteral("A"), r.fiveHour, r.week},
                                                  {QStringLiteral("b"), QStringLiteral("B"), r.week, std::nullopt}};
            timer.restart();
            store.record(r, others);
            writes.push_back(timer.nsecsElapsed() / 1e6);
        }
    }
    std::printf("insert with two other buckets: median %.3f ms, max %.3f ms\n", median(writes),
                *std::max_element(writes.begin(), writes.end()));

    // What the GUI thread pays: handing the reading to the history thread.
    std::vector<double> handoffs;
    {
        HistoryRecorder recorder(path);
        for (int i = 0; i < 201; ++i) {
            timer.restart();
            recorder.record(demoReading(now + (500 + i) * step));
            handoffs.push_back(timer.nsecsElapsed() / 1e6);
            QThread::msleep(2);
        }
    }
    std::printf("insert as the GUI thread sees it (HistoryRecorder::record): median %.4f ms, max %.4f ms\n",
                median(handoffs), *std::max_element(handoffs.begin(), handoffs.end()));

    // The tray loads the last week once at start (on the history thread)...
    timer.restart();
    std::vector<UsageSnapshot> week = HistoryStore(path).readings(now - 7 * 86400);
    std::printf("loading the last 7 days (%zu readings) from the year: %.1f ms\n", week.size(),
                timer.nsecsElapsed() / 1e6);

    // ...and a click on "사용 기록…" builds, shows and paints the window from them.
    std::vector<double> opens;
    for (int i = 0; i < 7; ++i) {
        PaintCounter counter;
        timer.restart();
        auto* window = new HistoryWindow;
        for (QWidget* chart : window->findChildren<UsageChart*>())
            chart->installEventFilter(&counter);
        window->setReadings(week, TimeContext{now, QTimeZone::systemTimeZone()});
        window->show();
        while (counter.paints < 2)
            QCoreApplication::processEvents();
        opens.push_back(timer.nsecsElapsed() / 1e6);
        delete window;
        QCoreApplication::processEvents();
    }
    std::printf("history window open to painted (%s): median %.1f ms, max %.1f ms (first %.1f ms)\n",
                qPrintable(QGuiApplication::platformName()), median(opens),
                *std::max_element(opens.begin(), opens.end()), opens.front());
    return 0;
}

int shot(const QString& out, bool dark)
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette palette = QApplication::style()->standardPalette();
    if (dark) {
        palette.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
        palette.setColor(QPalette::WindowText, QColor(0xe8, 0xe8, 0xe8));
        palette.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
        palette.setColor(QPalette::Text, QColor(0xe8, 0xe8, 0xe8));
        palette.setColor(QPalette::Highlight, QColor(0x4a, 0x9e, 0xff));
    }
    QApplication::setPalette(palette);
    // Readings at 60 s for a week, up to a five-hour window that is filling fast.
    const double now = 1'800'000'000 + 9 * 18000 + 2.75 * 3600; // 2.75 h into a fast-filling window
    std::vector<UsageSnapshot> readings;
    for (double t = now - 7 * 86400; t <= now; t += step)
        readings.push_back(demoReading(t));
    HistoryWindow window;
    window.setReadings(readings, TimeContext{now, QTimeZone::utc()});
    window.show();
    QCoreApplication::processEvents();
    return window.grab().save(out) ? 0 : 1;
}

int seed(const QString& path, double now, double fiveReset)
{
    HistoryStore store(path);
    for (int i = 4; i >= 1; --i)
        store.record(UsageSnapshot{UsageWindow{37 - 5 * i, 300, fiveReset}, std::nullopt, now - i * 600});
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 3 && args[1] == QLatin1String("shot"))
        return shot(args[2], args.size() > 3 && args[3] == QLatin1String("dark"));
    if (args.size() == 5 && args[1] == QLatin1String("seed"))
        return seed(args[2], args[3].toDouble(), args[4].toDouble());
    return measure();
}
