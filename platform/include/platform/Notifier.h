#pragma once
// Desktop notifications, one replaceable notification per topic. Main thread only.

#include <QString>
#include <functional>
#include <optional>

namespace tallyglass {

// What a notification is about; a new one replaces the last one shown of its topic.
enum class NotificationTopic { fiveHour, week, resetExpiry };

struct Notification {
    QString summary;
    QString body;
    bool critical = false;
    // The title of the one action offered, where the service shows actions.
    std::optional<QString> action;
};

class Notifier {
public:
    virtual ~Notifier() = default;
    // Shows `notification`, replacing the last one shown for `topic`. Returns at once;
    // without a notification service nothing happens.
    virtual void notify(NotificationTopic topic, const Notification& notification) = 0;

    // The user chose the action of one of our notifications.
    std::function<void()> onAction;
};

} // namespace tallyglass
