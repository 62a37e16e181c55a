#include "app/HistoryWindow.h"

#include "app/UsageSeries.h"

#include <QDateTime>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <algorithm>

namespace tallyglass {
namespace {

// Room to the right of "now" for the forecast, as a share of the chart's past.
constexpr double futureShare = 1.0 / 6;

QLabel* heading(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

} // namespace

UsageChart::UsageChart(UsageWindowKind kind, double spanSeconds, QWidget* parent)
    : QWidget(parent), kind_(kind), span_(spanSeconds)
{
    setMinimumSize(560, 200);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void UsageChart::setReadings(const std::vector<UsageSnapshot>* readings, const TimeContext& time)
{
    readings_ = readings;
    time_ = time;
    update();
}

void UsageChart::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QPalette& pal = palette();
    p.fillRect(rect(), pal.window());
    const QFontMetrics fm = fontMetrics();
    const QRectF plot = QRectF(rect()).adjusted(fm.horizontalAdvance(QStringLiteral("100%")) + 12, 8, -12,
                                                -(fm.height() + 10));
    p.fillRect(plot, pal.base());

    const double t0 = time_.now - span_;
    const double t1 = time_.now + span_ * futureShare;
    const auto x = [&](double t) { return plot.left() + (t - t0) / (t1 - t0) * plot.width(); };
    const auto y = [&](double used) { return plot.bottom() - std::clamp(used, 0.0, 100.0) / 100 * plot.height(); };

    // Percent grid and labels.
    QColor grid = pal.color(QPalette::WindowText);
    grid.setAlpha(50);
    for (int percent = 0; percent <= 100; percent += 25) {
        p.setPen(grid);
        p.drawLine(QPointF(plot.left(), y(percent)), QPointF(plot.right(), y(percent)));
        p.setPen(pal.color(QPalette::WindowText));
        p.drawText(QRectF(0, y(percent) - fm.height() / 2.0, plot.left() - 6, fm.height()),
                   Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("%1%").arg(percent));
    }

    // Time ticks: every four hours for the day, every day (at midnight) for the week.
    const TimeFormat format = kind_ == UsageWindowKind::fiveHour ? TimeFormat::clock : TimeFormat::week;
    const qint64 step = kind_ == UsageWindowKind::fiveHour ? 4 * 3600 : 86400;
    const QTimeZone zone = time_.zone.isValid() ? time_.zone : QTimeZone::utc();
    const QDateTime start = QDateTime::fromSecsSinceEpoch(qint64(t0), zone);
    QDateTime tick(start.date(), QTime(0, 0), zone);
    double lastLabelEnd = -1e9;
    for (; tick.toSecsSinceEpoch() <= t1; tick = tick.addSecs(step)) {
        const double at = double(tick.toSecsSinceEpoch());
        if (at < t0)
            continue;
        p.setPen(grid);
        p.drawLine(QPointF(x(at), plot.top()), QPointF(x(at), plot.bottom()));
        const QString text = TimeTexts::formatTime(at, format, zone);
        const double width = fm.horizontalAdvance(text);
        if (x(at) - width / 2 > lastLabelEnd + 8 && x(at) + width / 2 <= plot.right() + 12) {
            p.setPen(pal.color(QPalette::WindowText));
            p.drawText(QRectF(x(at) - width / 2, plot.bottom() + 4, width, fm.height()), Qt::AlignCenter, text);
            lastLabelEnd = x(at) + width / 2;
        }
    }

    if (!readings_)
        return;
    const UsageSeries series = UsageSeries::of(*readings_, kind_, t0, time_.now, t1);
    p.setRenderHint(QPainter::Antialiasing);
    p.setClipRect(plot);
    const auto point = [&](const ChartPoint& at) { return QPointF(x(at.at), y(at.used)); };

    // The used percent, broken where a window reset; each reset marked with a dashed line.
    const QColor line = pal.color(QPalette::Highlight);
    p.setPen(QPen(line, 2));
    for (const std::vector<ChartPoint>& run : series.runs) {
        QPolygonF polyline;
        polyline.reserve(qsizetype(run.size()));
        for (const ChartPoint& at : run)
            polyline << point(at);
        p.drawPolyline(polyline);
    }
    QColor resetColor = pal.color(QPalette::WindowText);
    resetColor.setAlpha(140);
    p.setPen(QPen(resetColor, 1, Qt::DashLine));
    for (double at : series.resets)
        p.drawLine(QPointF(x(at), plot.top()), QPointF(x(at), plot.bottom()));

    if (const std::optional<Exhaustion> e = Forecast::exhaustion(*readings_, kind_, time_.now)) {
        p.setPen(QPen(line, 2, Qt::DashLine));
        p.drawLine(point({e->from, e->fromUsed}), point({e->at, 100}));
    }
    if (series.latest) {
        p.setPen(QPen(pal.color(QPalette::Base), 2));
        p.setBrush(line);
        p.drawEllipse(point(*series.latest), 5, 5);
    }
}

HistoryWindow::HistoryWindow(QWidget* parent)
    : QWidget(parent, Qt::Window),
      fiveHour_(new UsageChart(UsageWindowKind::fiveHour, 86400, this)),
      week_(new UsageChart(UsageWindowKind::week, 7 * 86400, this))
{
    setWindowTitle(QStringLiteral("사용 기록 — Tallyglass"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading(QStringLiteral("5시간 한도 사용량 (최근 24시간)"), this));
    layout->addWidget(fiveHour_, 1);
    layout->addSpacing(8);
    layout->addWidget(heading(QStringLiteral("주간 한도 사용량 (최근 7일)"), this));
    layout->addWidget(week_, 1);
    resize(760, 560);
}

void HistoryWindow::setReadings(std::vector<UsageSnapshot> readings, const TimeContext& time)
{
    readings_ = std::move(readings);
    fiveHour_->setReadings(&readings_, time);
    week_->setReadings(&readings_, time);
}

} // namespace tallyglass
