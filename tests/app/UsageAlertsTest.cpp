// Low-allowance notifications from the delegate to a real notification service: the
// notification-daemon template of python-dbusmock, on a private session bus, records
// every Notify call.

#include "platform/DesktopNotifier.h"
#include "tests/app/DelegateHarness.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

namespace tallyglass::test {
namespace {

constexpr double now = 1'800'000'000; // Fri 8:00 AM UTC
const QString service = QStringLiteral("org.freedesktop.Notifications");

struct Call {
    QString app, icon, summary, body, desktopEntry;
    uint replaces;
    int urgency;
};

class UsageAlertsTest : public testing::Test {
protected:
    void SetUp() override
    {
        bus_.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
        ASSERT_TRUE(bus_.waitForReadyRead(10000)) << "dbus-daemon did not start";
        address_ = QString::fromUtf8(bus_.readLine()).trimmed();
        connection_ = QDBusConnection::connectToBus(address_, QStringLiteral("alerts-test"));
        ASSERT_TRUE(connection_.isConnected());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address_);
        mock_.setProcessEnvironment(env);
        // Debian's dbusmock is a module of the system's Python, whatever python3 is on PATH.
        mock_.start(QStringLiteral("/usr/bin/python3"), {"-m", "dbusmock", "--template", "notification_daemon"});
        const QDeadlineTimer deadline(20000);
        while (!connection_.interface()->isServiceRegistered(service) && !deadline.hasExpired())
            QThread::msleep(20);
        ASSERT_TRUE(connection_.interface()->isServiceRegistered(service)) << mock_.readAllStandardError().data();
    }

    void TearDown() override
    {
        for (QProcess* p : {&mock_, &bus_}) {
            p->terminate();
            if (!p->waitForFinished(5000)) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
        QDBusConnection::disconnectFromBus(QStringLiteral("alerts-test"));
    }

    std::vector<Call> calls()
    {
        QDBusMessage get = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/Notifications"),
                                                          QStringLiteral("org.freedesktop.DBus.Mock"),
                                                          QStringLiteral("GetCalls"));
        const QDBusMessage reply = connection_.call(get);
        std::vector<Call> out;
        if (reply.type() != QDBusMessage::ReplyMessage)
            return out;
        const QDBusArgument list = reply.arguments().value(0).value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            qulonglong time;
            QString method;
            QVariantList args;
            list.beginStructure();
            list >> time >> method >> args;
            list.endStructure();
            if (method != QLatin1String("Notify"))
                continue;
            const QVariantMap hints = qdbus_cast<QVariantMap>(args.value(6).value<QDBusArgument>());
            out.push_back({args.value(0).toString(), args.value(2).toString(), args.value(3).toString(),
                           args.value(4).toString(), hints.value(QStringLiteral("desktop-entry")).toString(),
                           args.value(1).toUInt(), hints.value(QStringLiteral("urgency")).toInt()});
        }
        list.endArray();
        return out;
    }

    // Delivers a reading, then lets the call and its answer go through.
    std::vector<Call> deliver(DelegateHarness& h, std::int64_t fiveUsed, double fiveReset, std::int64_t weekUsed)
    {
        h.deliver(UsageSnapshot{window(fiveUsed, fiveReset), window(weekUsed, now + 3 * 86400, 10080), now});
        const QDeadlineTimer settle(300);
        while (!settle.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return calls();
    }

    QProcess bus_, mock_;
    QString address_;
    QDBusConnection connection_{QString()};
};

TEST_F(UsageAlertsTest, OncePerWindowAndThresholdRearmedByAResetOrAClimbBack)
{
    DelegateHarness h(std::make_unique<DesktopNotifier>(connection_));
    h.launch();
    const double reset = now + 3 * 3600 + 300, nextReset = reset + 5 * 3600;

    EXPECT_EQ(deliver(h, 50, reset, 0).size(), 0u) << "50% left is above the default 10%";
    std::vector<Call> c = deliver(h, 91, reset, 0);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].app, "Tallyglass");
    EXPECT_EQ(c[0].icon, "tallyglass");
    EXPECT_EQ(c[0].desktopEntry, "tallyglass");
    EXPECT_EQ(c[0].summary, "Codex 5시간 한도 9% 남음");
    EXPECT_EQ(c[0].body, "5h 갱신: 11:05 AM");
    EXPECT_EQ(c[0].urgency, 1);
    EXPECT_EQ(c[0].replaces, 0u);

    EXPECT_EQ(deliver(h, 93, reset, 0).size(), 1u) << "once per window and threshold";
    h.delegate->selectUsageAlert(5);
    c = deliver(h, 96, reset, 0);
    ASSERT_EQ(c.size(), 2u) << "a new threshold";
    EXPECT_EQ(c[1].summary, "Codex 5시간 한도 4% 남음");
    EXPECT_EQ(c[1].urgency, 2) << "critical at 5% or less";
    EXPECT_EQ(c[1].replaces, 1u) << "replaces the window's earlier notification";

    EXPECT_EQ(deliver(h, 97, nextReset, 0).size(), 3u) << "re-armed by a new reset time";
    EXPECT_EQ(deliver(h, 20, nextReset, 0).size(), 3u);
    EXPECT_EQ(deliver(h, 98, nextReset, 0).size(), 4u) << "re-armed by climbing back above";

    h.settings->values.insert(QStringLiteral("timeDisplayMode"), QStringLiteral("remaining"));
    c = deliver(h, 98, nextReset, 99);
    ASSERT_EQ(c.size(), 5u);
    EXPECT_EQ(c[4].summary, "Codex 주간 한도 1% 남음");
    EXPECT_EQ(c[4].body, "Week 남은 시간: 3일 0시간");
    EXPECT_EQ(c[4].replaces, 0u) << "each window has its own notification";

    h.delegate->selectUsageAlert(0);
    EXPECT_EQ(deliver(h, 99, nextReset + 5 * 3600, 99).size(), 5u) << "off";
}

TEST_F(UsageAlertsTest, WithoutANotificationServiceNothingHappens)
{
    mock_.terminate();
    ASSERT_TRUE(mock_.waitForFinished(5000));
    DelegateHarness h(std::make_unique<DesktopNotifier>(connection_));
    h.launch();
    deliver(h, 99, now + 3600, 0);
    EXPECT_EQ(h.item->title(), "1% (9:00 AM)") << "the reading is shown as ever";
}

} // namespace
} // namespace tallyglass::test
