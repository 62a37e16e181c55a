#pragma once
// Key/value storage of the user's settings. Main thread only.

#include <QString>
#include <QVariant>

namespace tallyglass {

class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // An invalid QVariant when nothing is stored under the key.
    virtual QVariant value(const QString& key) const = 0;
    virtual void setValue(const QString& key, const QVariant& value) = 0;
};

} // namespace tallyglass
