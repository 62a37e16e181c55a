#pragma once
// An AppDelegate wired to test doubles that record what the delegate does. Main thread only.

#include "app/AppDelegate.h"

#include <QFileInfo>
#include <QMenu>
#include <QString>
#include <QTemporaryDir>
#include <QVariantMap>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace tallyglass::test {

using EventLog = std::vector<std::string>;

class FakeUsageClient : public UsageClient {
public:
    explicit FakeUsageClient(std::shared_ptr<EventLog> log) : log_(std::move(log)) {}
    void start() override { log_->push_back("client.start"); }
    void refresh() override { log_->push_back("client.refresh"); }
    void stop() override { log_->push_back("client.stop"); }
    void useResetCredit(const QString& keyFile, const std::optional<QString>& creditId) override
    {
        log_->push_back("client.useResetCredit " + QFileInfo(keyFile).fileName().toStdString() + " "
                        + creditId.value_or(QStringLiteral("(none)")).toStdString());
    }

private:
    std::shared_ptr<EventLog> log_;
};

class FakeStatusItem : public StatusItem {
public:
    void setTitle(const QString& title) override { title_ = title; }
    QString title() const override { return title_; }
    void setToolTip(const QString& toolTip) override { toolTip_ = toolTip; }
    QString toolTip() const override { return toolTip_; }
    void setBadge(const QString& badge, bool marked) override
    {
        badge_ = badge;
        marked_ = marked;
    }
    QString badge() const override { return badge_; }
    bool badgeMarked() const override { return marked_; }

private:
    QString title_;
    QString toolTip_;
    QString badge_;
    bool marked_ = false;
};

class FakeClock : public Clock {
public:
    double now() const override { return now_; }
    QTimeZone timeZone() const override { return QTimeZone::utc(); }
    double now_ = 1'800'000'000; // 2027-01-15T08:00:00Z, a Friday
};

class MemorySettings : public SettingsStore {
public:
    QVariant value(const QString& key) const override { return values.value(key); }
    void setValue(const QString& key, const QVariant& value) override { values.insert(key, value); }
    QVariantMap values;
};

class FakeLoginItem : public LoginItemService {
public:
    bool isRegistered() const override { return registered; }
    bool registerItem() override { return change(true); }
    bool unregisterItem() override { return change(false); }
    bool registered = false;
    bool fails = false;
    std::vector<std::string> calls;

private:
    bool change(bool to)
    {
        calls.push_back(to ? "register" : "unregister");
        if (fails)
            return false;
        registered = to;
        return true;
    }
};

// Answers each run with the next scripted reply (nothing = cancelled).
class ScriptedDialog : public IntervalDialog {
public:
    std::optional<QString> run(const QString& prefill) override
    {
        prefills.push_back(prefill);
        if (replies.empty())
            return std::nullopt;
        std::optional<QString> reply;
        reply.swap(replies.front());
        replies.pop_front();
        return reply;
    }
    std::deque<std::optional<QString>> replies;
    std::vector<QString> prefills;
};

// Confirms or cancels as told, and keeps what each question showed.
class ScriptedResetDialog : public ResetDialog {
public:
    bool confirm(const QStringList& usageLines, std::int64_t resetsLeft) override
    {
        questions.push_back(usageLines.join(QStringLiteral(" | ")) + QStringLiteral(" | %1").arg(resetsLeft));
        return answer;
    }
    bool answer = false;
    std::vector<QString> questions;
};

class FakeTimer : public RepeatingTimer {
public:
    FakeTimer(std::string name, std::shared_ptr<EventLog> log, int& live)
        : name_(std::move(name)), log_(std::move(log)), live_(live) { ++live_; }
    ~FakeTimer() override { --live_; }
    void start(std::chrono::milliseconds interval) override
    {
        interval_ = interval;
        active_ = true;
    }
    void stop() override
    {
        active_ = false;
        log_->push_back(name_ + ".stop");
    }
    void fire()
    {
        if (active_ && onTick)
            onTick();
    }
    bool active() const { return active_; }
    std::chrono::milliseconds interval() const { return interval_; }

private:
    std::string name_;
    std::shared_ptr<EventLog> log_;
    int& live_;
    bool active_ = false;
    std::chrono::milliseconds interval_{0};
};

// Builds the delegate and keeps plain pointers to its doubles for inspection.
struct DelegateHarness {
    explicit DelegateHarness(std::unique_ptr<Notifier> notifier = nullptr, QString stateFolder = QString())
    {
        auto clientPtr = std::make_unique<FakeUsageClient>(log);
        auto itemPtr = std::make_unique<FakeStatusItem>();
        auto clockPtr = std::make_unique<FakeClock>();
        auto settingsPtr = std::make_unique<MemorySettings>();
        auto loginPtr = std::make_unique<FakeLoginItem>();
        auto dialogPtr = std::make_unique<ScriptedDialog>();
        auto resetDialogPtr = std::make_unique<ScriptedResetDialog>();
        client = clientPtr.get();
        item = itemPtr.get();
        clock = clockPtr.get();
        settings = settingsPtr.get();
        login = loginPtr.get();
        dialog = dialogPtr.get();
        resetDialog = resetDialogPtr.get();

        AppDelegate::Collaborators c;
        c.client = std::move(clientPtr);
        c.statusItem = std::move(itemPtr);
        c.clock = std::move(clockPtr);
        c.settings = std::move(settingsPtr);
        c.loginItem = std::move(loginPtr);
        c.intervalDialog = std::move(dialogPtr);
        c.resetDialog = std::move(resetDialogPtr);
        c.stateFolder = stateFolder.isEmpty() ? stateDir.path() : stateFolder;
        c.makeRefreshTimer = [this] {
            auto timer = std::make_unique<FakeTimer>("refreshTimer", log, liveRefreshTimers);
            refreshTimer = timer.get();
            return timer;
        };
        c.makeCountdownTimer = [this] {
            auto timer = std::make_unique<FakeTimer>("countdownTimer", log, liveCountdownTimers);
            countdownTimer = timer.get();
            return timer;
        };
        c.openUrl = [this](const QUrl& url) { openedUrls.push_back(url); };
        c.terminate = [this] { log->push_back("terminate"); };
        c.notifier = std::move(notifier);
        c.showHistory = [this](const std::vector<UsageSnapshot>& readings, const TimeContext&) {
            shownHistories.push_back(readings.size());
        };
        delegate = std::make_unique<AppDelegate>(std::move(c));
    }

    void launch() { delegate->applicationDidFinishLaunching(); }

    // The menu as the tray would show it on a right click.
    QMenu& openMenu()
    {
        if (!item->onMenuAboutToShow)
            throw std::logic_error("the delegate did not hook the menu");
        item->onMenuAboutToShow(menu);
        return menu;
    }

    void deliver(const UsageSnapshot& snapshot) { client->onSnapshot(snapshot); }
    // A reading with what it said beyond the windows, delivered in the client's order.
    void deliver(const UsageSnapshot& snapshot, const UsageAllowance& allowance)
    {
        client->onAllowance(allowance);
        client->onSnapshot(snapshot);
    }
    void deliverStatus(const std::optional<ClientStatus>& status) { client->onStatus(status); }
    // A status that ends a reading without usage.
    void deliverStatus(const QString& text) { deliverStatus(ClientStatus{StatusKind::childExited, text}); }

    int count(const std::string& event) const { return int(std::count(log->begin(), log->end(), event)); }

    QTemporaryDir stateDir;
    std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
    int liveRefreshTimers = 0;
    int liveCountdownTimers = 0;
    FakeTimer* refreshTimer = nullptr;
    FakeTimer* countdownTimer = nullptr;
    std::vector<QUrl> openedUrls;
    std::vector<std::size_t> shownHistories; // readings handed to each opening of the history window
    FakeUsageClient* client;
    FakeStatusItem* item;
    FakeClock* clock;
    MemorySettings* settings;
    FakeLoginItem* login;
    ScriptedDialog* dialog;
    ScriptedResetDialog* resetDialog;
    QMenu menu;
    std::unique_ptr<AppDelegate> delegate;
};

// A window with `used` percent used that resets `secondsLeft` after the harness's clock.
inline UsageWindow window(std::int64_t used, std::optional<double> resetsAt, std::int64_t minutes = 300)
{
    return UsageWindow{used, minutes, resetsAt};
}

} // namespace tallyglass::test
