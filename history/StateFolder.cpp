#include "history/StateFolder.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace tallyglass {
namespace {

// $HOME, else the password database entry's home directory; empty when neither is known.
QString homeFolder()
{
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty())
        return home;
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(suggested > 0 ? std::size_t(suggested) : 1024);
    for (;;) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        const int error = ::getpwuid_r(::getuid(), &entry, scratch.data(), scratch.size(), &found);
        if (error == ERANGE && scratch.size() < (std::size_t(1) << 20)) {
            scratch.resize(scratch.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr || found->pw_dir == nullptr || *found->pw_dir == '\0')
            return QString();
        return QFile::decodeName(found->pw_dir);
    }
}

} // namespace

QString stateFolder()
{
    // A relative XDG_STATE_HOME is ignored, as the base-directory rules say.
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!state.isEmpty() && QDir::isAbsolutePath(state))
        return state + QStringLiteral("/tallyglass");
    const QString home = homeFolder();
    if (home.isEmpty())
        return QString();
    return QDir::cleanPath(home + QStringLiteral("/.local/state/tallyglass"));
}

} // namespace tallyglass
