#pragma once
// Opening user files that someone may have replaced by a FIFO, a device or a folder: such
// a thing is refused before it is opened, since opening or reading it can block for ever.
// Any thread.

#include <QByteArray>
#include <QString>
#include <optional>

namespace tallyglass {

class RegularFile {
public:
    RegularFile() = delete;

    // Nothing at `path`, or a regular file (links followed): safe to hand to a reader
    // that opens it blockingly, such as QSettings.
    static bool isRegularOrAbsent(const QString& path);
    // The contents of the regular file at `path` (links followed); nothing when it is
    // missing, anything else, unreadable or larger than `maxBytes`. Never blocks.
    static std::optional<QByteArray> read(const QString& path, qint64 maxBytes);
};

} // namespace tallyglass
