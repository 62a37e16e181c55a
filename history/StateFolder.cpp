#include "history/StateFolder.h"

#include <QDir>

namespace tallyglass {

QString stateFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/tallyglass");
}

} // namespace tallyglass
