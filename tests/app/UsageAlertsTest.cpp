// Notifications from the delegate to a real notification service: the notification-daemon
// template of python-dbusmock, on a private session bus, records every Notify call and
// sends ActionInvoked on request.

#include "app/AlertStateFile.h"
#include "platform/DesktopNotifier.h"
#include "tests/app/DelegateHarness.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass::test {
namespace {

constexpr double now = 1'800'000'000; // Fri 8:00 AM UTC
const QString service = QStringLiteral("org.freedesktop.Notifications");

struct Call {
    QString app, icon, summary, body, desktopEntry;
    uint replaces;
    int urgency;
    QStringList actions;
};

// Counts what the delegate hands over, so that a test can wait for exactly that many
// calls to reach the service.
class CountingNotifier : public Notifier {
public:
    CountingNotifier(const QDBusConnection& bus, int& count) : inner_(bus), count_(count)
    {
        inner_.onAction = [this] {
            if (onAction)
                onAction();
        };
    }
    void notify(NotificationTopic topic, const Notification& notification) override
    {
        ++count_;
        inner_.notify(topic, notification);
    }

private:
    DesktopNotifier inner_;
    int& count_;
};

ResetCredit credit(const QString& id, std::optional<double> expiresAt = std::nullopt)
{
    ResetCredit c;
    c.id = id;
    c.expiresAt = expiresAt;
    return c;
}

mode_t modeOf(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

UsageAllowance bankedResets(std::vector<ResetCredit> credits)
{
    UsageAllowance allowance;
    allowance.resetCredits = ResetCredits{std::int64_t(credits.size()), std::move(credits)};
    return allowance;
}

class UsageAlertsTest : public testing::Test {
protected:
    // The notification service's capabilities; the template's own list has no "actions".
    virtual QStringList mockParameters() const { return {}; }

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
        mock_.start(QStringLiteral("/usr/bin/python3"),
                    QStringList{"-m", "dbusmock", "--template", "notification_daemon"} + mockParameters());
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
                           args.value(1).toUInt(), hints.value(QStringLiteral("urgency")).toInt(),
                           args.value(5).toStringList()});
        }
        list.endArray();
        return out;
    }

    std::unique_ptr<Notifier> notifier() { return std::make_unique<CountingNotifier>(connection_, handedOver_); }

    // Delivers a reading, then waits until every notification handed over has reached the
    // service and its answer is back.
    std::vector<Call> deliver(DelegateHarness& h, std::int64_t fiveUsed, double fiveReset, std::int64_t weekUsed,
                              const std::optional<UsageAllowance>& allowance = std::nullopt)
    {
        const UsageSnapshot reading{window(fiveUsed, fiveReset), window(weekUsed, now + 3 * 86400, 10080), now};
        if (allowance)
            h.deliver(reading, *allowance);
        else
            h.deliver(reading);
        const QDeadlineTimer deadline(10000);
        std::vector<Call> c;
        while ((c = calls()).size() < std::size_t(handedOver_) && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_EQ(c.size(), std::size_t(handedOver_)) << "a notification did not reach the service in 10 s";
        // The answer to the last Notify came before GetCalls' answer; let its handler run.
        QCoreApplication::processEvents();
        return c;
    }

    int handedOver_ = 0;
    QProcess bus_, mock_;
    QString address_;
    QDBusConnection connection_{QString()};
};

TEST_F(UsageAlertsTest, OncePerWindowAndThresholdRearmedByAResetOrAClimbBack)
{
    DelegateHarness h(notifier());
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
    EXPECT_EQ(c[0].actions, QStringList());

    EXPECT_EQ(deliver(h, 93, reset, 0).size(), 1u) << "once per window and threshold";
    {
        DelegateHarness restarted(notifier(), h.stateDir.path());
        restarted.launch();
        EXPECT_EQ(deliver(restarted, 93, reset, 0).size(), 1u) << "also after a restart";
    }
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
    c = deliver(h, 98, nextReset, 99, bankedResets({credit(QStringLiteral("c1"))}));
    ASSERT_EQ(c.size(), 5u);
    EXPECT_EQ(c[4].summary, "Codex 주간 한도 1% 남음");
    EXPECT_EQ(c[4].body, "Week 남은 시간: 3일 0시간");
    EXPECT_EQ(c[4].replaces, 0u) << "each window has its own notification";
    EXPECT_EQ(c[4].actions, QStringList()) << "a banked reset, but the service lists no actions";

    h.delegate->selectUsageAlert(0);
    EXPECT_EQ(deliver(h, 99, nextReset + 5 * 3600, 99).size(), 5u) << "off";
}

TEST_F(UsageAlertsTest, WithoutANotificationServiceNothingHappens)
{
    mock_.terminate();
    ASSERT_TRUE(mock_.waitForFinished(5000));
    DelegateHarness h(notifier());
    h.launch();
    // Asking the bus now would start a notification daemon installed here (D-Bus activation).
    h.deliver(UsageSnapshot{window(99, now + 3600), {}, now});
    EXPECT_EQ(h.item->title(), "1% (9:00 AM)") << "the reading is shown as ever";
}

class UsageAlertsWithActionsTest : public UsageAlertsTest {
protected:
    QStringList mockParameters() const override
    {
        return {"--parameters", R"({"capabilities": "body actions"})"};
    }

    void invokeAction(uint id, const QString& key)
    {
        QDBusMessage signal = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/Notifications"),
                                                           QStringLiteral("org.freedesktop.DBus.Mock"),
                                                           QStringLiteral("EmitSignal"));
        signal << service << QStringLiteral("ActionInvoked") << QStringLiteral("us")
             << QVariantList{QVariant::fromValue(id), QVariant::fromValue(key)};
        ASSERT_EQ(connection_.call(signal).type(), QDBusMessage::ReplyMessage);
    }
};

TEST_F(UsageAlertsWithActionsTest, ABankedResetNearItsExpiryOnceAndTheActionOpensTheDialog)
{
    DelegateHarness h(notifier());
    h.launch();
    const double soon = now + 19 * 3600 + 40 * 60;
    const UsageAllowance allowance = bankedResets({credit(QStringLiteral("later"), now + 3 * 86400), credit(QStringLiteral("soon"), soon)});
    std::vector<Call> c = deliver(h, 91, now + 3600, 0, allowance);
    ASSERT_EQ(c.size(), 2u);
    // Each waits for the service's capabilities, so the two may arrive in either order.
    const std::size_t expiry = c[0].summary == QStringLiteral("Codex 한도 리셋 만료 임박") ? 0 : 1;
    const Call& low = c[1 - expiry];
    const QStringList action{QStringLiteral("use-reset"), QStringLiteral("한도 리셋 사용…")};
    EXPECT_EQ(low.summary, "Codex 5시간 한도 9% 남음");
    EXPECT_EQ(low.actions, action) << "a banked reset is there to use";
    EXPECT_EQ(c[expiry].summary, "Codex 한도 리셋 만료 임박");
    EXPECT_EQ(c[expiry].body, "한도 리셋 1개가 19시간 40분 뒤 만료됨");
    EXPECT_EQ(c[expiry].urgency, 1);
    EXPECT_EQ(c[expiry].actions, action);
    EXPECT_EQ(deliver(h, 92, now + 3600, 0, allowance).size(), 2u) << "once per credit";

    h.deliverStatus(ClientStatus::checkingAccount()); // a refresh under way clears the display
    invokeAction(99, QStringLiteral("use-reset")); // another program's notification
    invokeAction(uint(expiry) + 1, QStringLiteral("use-reset")); // the service numbers them from 1
    h.resetDialog->answer = true;
    const QDeadlineTimer deadline(10000);
    while (h.resetDialog->questions.empty() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(h.resetDialog->questions, std::vector<QString>{"5h 남음: 9% | Week 남음: 100% | 2"})
        << "asks about the reading the notification announced";
    EXPECT_EQ(h.count("client.useResetCredit pending-reset soon"), 1);
}

TEST(UsageAlerts, ABankedResetIsAnnouncedOnceWithinADayOfItsExpiry)
{
    struct Row {
        const char* name;
        std::optional<double> expiresIn;
        std::vector<QString> announced, announcedAfter;
        bool notifies;
    };
    for (const Row& row : std::vector<Row>{
             {"a day ahead", 86400, {}, {"c"}, true},
             {"a second more", 86401, {}, {}, false},
             {"expired", 0, {}, {}, false},
             {"never expires", std::nullopt, {}, {}, false},
             {"announced before", 3600, {"c"}, {"c"}, false},
             {"a credit no longer listed is forgotten", 86401, {"c", "spent"}, {"c"}, false},
         }) {
        SCOPED_TRACE(row.name);
        UsageAlerts alerts(AlertState{std::nullopt, std::nullopt, row.announced});
        const auto expiresAt = row.expiresIn ? std::optional(now + *row.expiresIn) : std::nullopt;
        const std::vector<Alert> out = alerts.check(UsageSnapshot{}, bankedResets({credit("c", expiresAt)}), 10,
                                                    TimeDisplayMode::resetAt, TimeContext{now, QTimeZone::utc()});
        EXPECT_EQ(out.size(), row.notifies ? 1u : 0u);
        EXPECT_EQ(alerts.state().expiringCredits, row.announcedAfter);
    }
}

TEST(AlertStateFile, KeepsTheStateAndIgnoresWhatIsNotItsFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("state/alerts.json"));
    const AlertState state{AlertState::Window{now + 3600, 10}, AlertState::Window{std::nullopt, 5},
                           {QStringLiteral("c1")}};
    AlertStateFile(path).write(state);
    EXPECT_EQ(AlertStateFile(path).read(), state);
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(dir.filePath(QStringLiteral("state"))), 0700u);

    for (const QByteArray& damaged : {QByteArray("{\"fiveHour\": {\"percent\": \"10\"}"), QByteArray("\xff\xfe"),
                                      QByteArray("[1,2]"), QByteArray("{\"week\": {\"percent\": 1e300}}")}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(damaged);
        file.close();
        EXPECT_EQ(AlertStateFile(path).read(), AlertState()) << damaged.constData();
    }
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    EXPECT_EQ(AlertStateFile(path).read(), AlertState()) << "a FIFO never blocks";
    AlertStateFile(path).write(state);
    EXPECT_EQ(AlertStateFile(path).read(), state) << "the FIFO was replaced";

    const QString target = dir.filePath(QStringLiteral("target"));
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::link(target, path));
    AlertStateFile(path).write(state);
    EXPECT_FALSE(QFile::exists(target)) << "the link is replaced, not followed";
}

} // namespace
} // namespace tallyglass::test
