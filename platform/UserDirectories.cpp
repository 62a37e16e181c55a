#include "platform/UserDirectories.h"

#include <QDir>
#include <QFile>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace tallyglass {
namespace {

QString absoluteVariable(const char* name)
{
    const QString value = qEnvironmentVariable(name);
    return QDir::isAbsolutePath(value) ? QDir::cleanPath(value) : QString();
}

// `fallback` under the home, unless the variable names an absolute folder.
QString baseDirectory(const char* variable, const QString& fallback)
{
    const QString set = absoluteVariable(variable);
    if (!set.isEmpty())
        return set;
    const QString home = UserDirectories::home();
    return home.isEmpty() ? QString() : home + fallback;
}

} // namespace

QString UserDirectories::home()
{
    const QString set = absoluteVariable("HOME");
    if (!set.isEmpty())
        return set;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry {};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir)
        return {};
    const QString home = QFile::decodeName(found->pw_dir);
    return QDir::isAbsolutePath(home) ? QDir::cleanPath(home) : QString();
}

QString UserDirectories::configHome()
{
    return baseDirectory("XDG_CONFIG_HOME", QStringLiteral("/.config"));
}

QString UserDirectories::dataHome()
{
    return baseDirectory("XDG_DATA_HOME", QStringLiteral("/.local/share"));
}

} // namespace tallyglass
