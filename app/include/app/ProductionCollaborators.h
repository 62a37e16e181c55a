#pragma once
// The real tray item, client, clock, settings, login item and dialog. Main thread only.

#include "app/AppDelegate.h"

namespace tallyglass {

AppDelegate::Collaborators productionCollaborators();

} // namespace tallyglass
