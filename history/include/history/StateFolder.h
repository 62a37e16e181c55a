#pragma once
// Where Tallyglass keeps what it writes for itself (history, a pending reset's key, the
// alert state): $XDG_STATE_HOME/tallyglass, or ~/.local/state/tallyglass. Any thread.

#include <QString>

namespace tallyglass {

QString stateFolder();

} // namespace tallyglass
