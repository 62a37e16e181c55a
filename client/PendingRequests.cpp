#include "PendingRequests.h"

#include <algorithm>

namespace tallyglass {

void PendingRequests::add(std::int64_t id, RequestKind kind, qint64 deadlineMs)
{
    const auto at = std::lower_bound(requests_.begin(), requests_.end(), id,
                                     [](const Entry& entry, std::int64_t key) { return entry.id < key; });
    if (at != requests_.end() && at->id == id)
        *at = Entry {id, kind, deadlineMs};
    else
        requests_.insert(at, Entry {id, kind, deadlineMs});
}

std::optional<RequestKind> PendingRequests::settle(std::int64_t id)
{
    const auto it = std::find_if(requests_.begin(), requests_.end(), [id](const Entry& entry) { return entry.id == id; });
    if (it == requests_.end())
        return std::nullopt;
    const RequestKind kind = it->kind;
    requests_.erase(it);
    return kind;
}

void PendingRequests::forget(RequestKind kind)
{
    std::erase_if(requests_, [kind](const Entry& entry) { return entry.kind == kind; });
}

std::optional<qint64> PendingRequests::nextDeadline() const
{
    std::optional<qint64> next;
    for (const Entry& entry : requests_)
        if (!next || entry.deadlineMs < *next)
            next = entry.deadlineMs;
    return next;
}

std::vector<std::pair<std::int64_t, RequestKind>> PendingRequests::takeOverdue(qint64 nowMs)
{
    std::vector<std::pair<std::int64_t, RequestKind>> due;
    for (const Entry& entry : requests_)
        if (entry.deadlineMs <= nowMs)
            due.emplace_back(entry.id, entry.kind);
    std::erase_if(requests_, [nowMs](const Entry& entry) { return entry.deadlineMs <= nowMs; });
    return due;
}

} // namespace tallyglass
