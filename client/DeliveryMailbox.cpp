#include "DeliveryMailbox.h"

#include <QMutexLocker>
#include <algorithm>

namespace tallyglass {

bool DeliveryMailbox::putStatus(const ClientStatus& status)
{
    QMutexLocker lock(&mutex_);
    return putHoldingMutex(StatusDelivery(status));
}

bool DeliveryMailbox::putReading(const PublishedReading& reading)
{
    QMutexLocker lock(&mutex_);
    // Behind by a lot: everything up to an older reading is superseded by this one,
    // whose clearing comes before it.
    const auto older = std::find_if(queue_.rbegin(), queue_.rend(), [](const Delivery& d) {
        return std::holds_alternative<PublishedReading>(d);
    });
    if (queue_.size() > collapseAbove && older != queue_.rend())
        queue_.erase(queue_.begin(), older.base());
    const bool wasEmpty = putHoldingMutex(StatusDelivery());
    queue_.push_back(reading);
    return wasEmpty;
}

bool DeliveryMailbox::putHoldingMutex(Delivery delivery)
{
    const bool wasEmpty = queue_.empty();
    const bool replacesStatus = !wasEmpty && std::holds_alternative<StatusDelivery>(queue_.back())
        && queue_.size() > collapseAbove;
    if (replacesStatus)
        queue_.back() = std::move(delivery);
    else
        queue_.push_back(std::move(delivery));
    return wasEmpty;
}

std::optional<DeliveryMailbox::Delivery> DeliveryMailbox::take(bool* more)
{
    QMutexLocker lock(&mutex_);
    *more = false;
    if (queue_.empty())
        return std::nullopt;
    Delivery front = std::move(queue_.front());
    queue_.pop_front();
    *more = !queue_.empty();
    return front;
}

std::size_t DeliveryMailbox::size() const
{
    QMutexLocker lock(&mutex_);
    return queue_.size();
}

} // namespace tallyglass
