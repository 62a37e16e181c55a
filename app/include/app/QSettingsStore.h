#pragma once
// SettingsStore over QSettings; ~/.config/brightfen/tallyglass.conf in production. Main thread only.

#include "app/SettingsStore.h"

#include <QSettings>
#include <memory>

namespace tallyglass {

class QSettingsStore : public SettingsStore {
public:
    // The user's own settings file: brightfen/tallyglass.conf in the XDG config folder.
    QSettingsStore();
    // An INI file at the given path (used by tests).
    explicit QSettingsStore(const QString& iniPath);

    // While something other than a regular file sits at the path (a FIFO, a device, a
    // folder, which QSettings would open and block on), the store reads as empty and
    // writes nothing, as with an unreadable file.
    QVariant value(const QString& key) const override;
    void setValue(const QString& key, const QVariant& value) override;

private:
    // Made once the path holds a regular file or nothing.
    QSettings* settings() const;

    QString path_;
    mutable std::unique_ptr<QSettings> settings_;
};

} // namespace tallyglass
