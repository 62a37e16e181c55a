#include "PendingRequests.h"


namespace tallyglass {

void PendingRequests::add(std::int64_t id, RequestKind kind, qint64 deadlineMs)
{
    requests_[id] = Entry {kind, deadlineMs};
}

std::optional<RequestKind> PendingRequests::settle(std::int64_t id)
{
    const auto it = requests_.find(id);
    if (it == requests_.end())
        return std::nullopt;
    const RequestKind kind = it->second.kind;
    requests_.erase(it);
    return kind;
}

void PendingRequests::forget(RequestKind kind)
{
    std::erase_if(requests_, [kind](const auto& entry) { return entry.second.kind == kind; });
}

std::optional<qint64> PendingRequests::nextDeadline() const
{
    std::optional<qint64> next;
    for (const auto& [id, entry] : requests_)
        if (!next || entry.deadlineMs < *next)
            next = entry.deadlineMs;
    return next;
}

std::vector<std::pair<std::int64_t, RequestKind>> PendingRequests::takeOverdue(qint64 nowMs)
{
    std::vector<std::pair<std::int64_t, RequestKind>> due;
    for (auto it = requests_.begin(); it != requests_.end();) {
        if (it->second.deadlineMs <= nowMs) {
            due.emplace_back(it->first, it->second.kind);
            it = requests_.erase(it);
        } else {
            ++it;
        }
    }
    return due;
}

} // namespace tallyglass
