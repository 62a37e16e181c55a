#pragma once
// The requests of one connection that await an answer, by id, each with its deadline
// on a monotonic clock in milliseconds. Plain value; used on the client's work thread.

#include <QtGlobal>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace tallyglass {

enum class RequestKind { initialize, account, usage, resetCredit };

class PendingRequests {
public:
    void add(std::int64_t id, RequestKind kind, qint64 deadlineMs);
    // The kind of the request this id answers, removed from the table; nothing for an
    // id that was never asked, already answered, forgotten or overdue.
    std::optional<RequestKind> settle(std::int64_t id);
    // Drops every pending request of this kind; their answers will be ignored.
    void forget(RequestKind kind);
    void clear() { requests_.clear(); }

    std::optional<qint64> nextDeadline() const;
    // The requests due at `nowMs`, in the order they were asked, removed from the table.
    std::vector<std::pair<std::int64_t, RequestKind>> takeOverdue(qint64 nowMs);

private:
    struct Entry {
        std::int64_t id;
        RequestKind kind;
        qint64 deadlineMs;
    };
    // In the order of their ids. A connection has a request or two out at a time, so a
    // vector that keeps its room across requests beats a node per request.
    std::vector<Entry> requests_;
};

} // namespace tallyglass
