#include "app/QSettingsStore.h"

#include "platform/RegularFile.h"
#include "platform/UserDirectories.h"

namespace tallyglass {
namespace {

// The file QSettings("brightfen", "tallyglass") would use, with the config folder found by
// the base-directory rules: Qt takes a relative XDG_CONFIG_HOME as given.
QString userSettingsPath()
{
    const QString config = UserDirectories::configHome();
    return config.isEmpty() ? QString() : config + QStringLiteral("/brightfen/tallyglass.conf");
}

} // namespace

QSettingsStore::QSettingsStore()
    : QSettingsStore(userSettingsPath())
{
}

QSettingsStore::QSettingsStore(const QString& iniPath)
    : path_(iniPath)
{
    settings();
}

QSettings* QSettingsStore::settings() const
{
    // QSettings opens the file in its constructor and again in sync(), blocking on a FIFO.
    if (path_.isEmpty() || !RegularFile::isRegularOrAbsent(path_))
        return nullptr;
    if (!settings_)
        settings_ = std::make_unique<QSettings>(path_, QSettings::IniFormat);
    return settings_.get();
}

QVariant QSettingsStore::value(const QString& key) const
{
    QSettings* settings = this->settings();
    if (!settings)
        return {};
    // QSettings keeps what it read in memory; sync() reloads the file when it changed
    // on disk (an edit by hand while we run) and writes nothing, since every change of
    // ours is written at once.
    settings->sync();
    return settings->value(key);
}

void QSettingsStore::setValue(const QString& key, const QVariant& value)
{
    QSettings* settings = this->settings();
    if (!settings)
        return;
    settings->setValue(key, value);
    // Written at once, so a change survives even an abrupt end of the process.
    settings->sync();
}

} // namespace tallyglass
