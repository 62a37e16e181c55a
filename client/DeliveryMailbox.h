#pragma once
// What the client's work thread has published and the main thread not yet delivered,
// in order. Once the main thread falls behind by more than a few entries, an
// undelivered status collapses into the next one and a newer reading drops everything
// queued up to an older one. Nothing is ever reordered, and a reading's snapshot and
// allowance are one entry that is delivered or dropped whole, so a flood of
// notifications costs a bounded queue, not one event each.
// Thread-safe: put on the work thread, take on the main thread.

#include "client/ClientStatus.h"
#include "PublishedReading.h"

#include <QMutex>
#include <deque>
#include <optional>
#include <variant>

namespace tallyglass {

class DeliveryMailbox {
public:
    // A status, or its clearing (nothing) that comes with every snapshot.
    using StatusDelivery = std::optional<ClientStatus>;
    using Delivery = std::variant<StatusDelivery, PublishedReading>;

    // Past this many waiting entries the mailbox collapses what it can.
    static constexpr std::size_t collapseAbove = 16;

    // Each returns true when the mailbox was empty, i.e. the receiver needs waking.
    bool putStatus(const ClientStatus& status);
    bool putReading(const PublishedReading& reading);

    // The oldest delivery, and whether more are waiting after it.
    std::optional<Delivery> take(bool* more);

    std::size_t size() const;

private:
    // Appends, or replaces an undelivered status when far behind; the caller holds mutex_.
    bool putHoldingMutex(Delivery delivery);

    mutable QMutex mutex_;
    std::deque<Delivery> queue_;
};

} // namespace tallyglass
