#pragma once
// SettingsStore over QSettings; ~/.config/brightfen/tallyglass.conf in production. Main thread only.

#include "app/SettingsStore.h"

#include <QSettings>
#include <memory>

namespace tallyglass {

class QSettingsStore : public SettingsStore {
public:
    // The user's own settings file (organisation "brightfen", application "tallyglass").
    QSettingsStore();
    // An INI file at the given path (used by tests).
    explicit QSettingsStore(const QString& iniPath);

    QVariant value(const QString& key) const override;
    void setValue(const QString& key, const QVariant& value) override;

private:
    std::unique_ptr<QSettings> settings_;
};

} // namespace tallyglass
