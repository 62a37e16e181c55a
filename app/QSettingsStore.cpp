#include "app/QSettingsStore.h"

namespace tallyglass {

QSettingsStore::QSettingsStore()
    : settings_(std::make_unique<QSettings>(QStringLiteral("brightfen"), QStringLiteral("tallyglass")))
{
}

QSettingsStore::QSettingsStore(const QString& iniPath)
    : settings_(std::make_unique<QSettings>(iniPath, QSettings::IniFormat))
{
}

QVariant QSettingsStore::value(const QString& key) const
{
    // QSettings keeps what it read in memory; sync() reloads the file when it changed
    // on disk (an edit by hand while we run) and writes nothing, since every change of
    // ours is written at once.
    settings_->sync();
    return settings_->value(key);
}

void QSettingsStore::setValue(const QString& key, const QVariant& value)
{
    settings_->setValue(key, value);
    // Written at once, so a change survives even an abrupt end of the process.
    settings_->sync();
}

} // namespace tallyglass
