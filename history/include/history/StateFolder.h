#pragma once
// Where Tallyglass keeps what it writes for itself (history, a pending reset's key, the
// alert state): $XDG_STATE_HOME/tallyglass (when absolute), or ~/.local/state/tallyglass
// with ~ from $HOME or, when that is unset or empty, the password database. Empty when
// no home folder is known. Any thread.

#include <QString>

namespace tallyglass {

QString stateFolder();

} // namespace tallyglass
