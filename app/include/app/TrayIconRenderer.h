#pragma once
// Draws the tray icon: a short badge on a dark, theme-independent tile, or on an amber
// tile when marked. Main thread only.

#include <QIcon>
#include <QImage>
#include <QString>

namespace tallyglass {

class TrayIconRenderer {
public:
    TrayIconRenderer() = delete;

    // One image of the badge at size×size pixels.
    static QImage render(const QString& badge, int size, bool marked = false);
    // The badge at every size a tray host is likely to ask for, each drawn when asked.
    static QIcon icon(const QString& badge, bool marked = false);
};

} // namespace tallyglass
