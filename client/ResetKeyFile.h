#pragma once
// The idempotency key of a banked reset being spent, kept in a file from before the
// consume request until a definite outcome, so that every retry (after a time-out, an
// error, a crash or a quit) sends the same request and can never spend a second reset.
// Plain functions over the file system; any thread.

#include <QString>
#include <functional>
#include <optional>

namespace tallyglass {

struct ResetRequest {
    QString idempotencyKey;
    std::optional<QString> creditId;

    friend bool operator==(const ResetRequest&, const ResetRequest&) = default;
};

namespace ResetKeyFile {

// The request written down in `path`, or when there is no file a new one (a fresh UUID
// and `creditId`) written there atomically with mode 0600 first; of two attempts that
// race (the tray and the console), both get the key written first. Nothing when `path`
// is anything but a regular file (a link, a FIFO, a device, a directory), holds no
// request, or cannot be written; the caller then sends nothing.
std::optional<ResetRequest> loadOrCreate(const QString& path, const std::optional<QString>& creditId);

// Removes the file once an outcome has arrived; a file already gone is fine.
void remove(const QString& path);

} // namespace ResetKeyFile

// Where the reading cycle keeps its reset keys: the file above, unless told otherwise.
struct ResetKeyStore {
    std::function<std::optional<ResetRequest>(const QString& path, const std::optional<QString>& creditId)>
        loadOrCreate = ResetKeyFile::loadOrCreate;
    std::function<void(const QString& path)> remove = ResetKeyFile::remove;
};

} // namespace tallyglass
