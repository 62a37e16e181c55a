#pragma once
// Finds the codex executable to launch. Stateless; any thread.

#include <QString>
#include <QStringList>
#include <optional>

namespace tallyglass {

class CodexLocator {
public:
    CodexLocator() = delete;

    // Searches the current user's home directory (from the password database)
    // and the PATH of this process's environment.
    static std::optional<QString> find();

    // The same search with the home directory (no trailing slash) and the PATH
    // value given; an absent pathValue means the environment has no PATH.
    static std::optional<QString> find(const QString& homeDirectory, const std::optional<QString>& pathValue);

    // Every path find() tests, in order, before any test is made.
    static QStringList candidates(const QString& homeDirectory, const std::optional<QString>& pathValue);

    // The current user's home directory as the password database reports it.
    static QString homeDirectory();
};

} // namespace tallyglass
