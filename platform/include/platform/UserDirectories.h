#pragma once
// The user's home and XDG base folders, read from the environment by the base-directory
// rules. Any thread.

#include <QString>

namespace tallyglass {

class UserDirectories {
public:
    UserDirectories() = delete;

    // $HOME when it is an absolute path, else the home of the password database; empty
    // when neither gives one.
    static QString home();
    // $XDG_CONFIG_HOME when it is an absolute path (a relative one is ignored), else
    // ~/.config; empty without a home.
    static QString configHome();
    // $XDG_DATA_HOME when it is an absolute path, else ~/.local/share; empty without a home.
    static QString dataHome();
};

} // namespace tallyglass
