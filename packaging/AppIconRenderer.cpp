// app-icon-renderer OUTDIR SIZE...: writes OUTDIR/SIZExSIZE/apps/<id>.png for each SIZE,
// drawn by the tray's own renderer with the badge it shows before the first reading,
// so the launcher icon and the tray icon look alike. Run with QT_QPA_PLATFORM=offscreen.

#include "app/TrayIconRenderer.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <cstdio>

int main(int argc, char** argv)
{
    QGuiApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 3) {
        std::fputs("usage: app-icon-renderer OUTDIR SIZE...\n", stderr);
        return 2;
    }
    for (const QString& text : arguments.mid(2)) {
        bool ok = false;
        const int size = text.toInt(&ok);
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(arguments[1]).arg(size);
        const QString file = folder + QStringLiteral("/" TALLYGLASS_APP_ID ".png");
        if (!ok || size < 8 || !QDir().mkpath(folder)
            || !tallyglass::TrayIconRenderer::render(QStringLiteral("…"), size).save(file)) {
            std::fprintf(stderr, "app-icon-renderer: cannot write the %s px icon\n", qPrintable(text));
            return 1;
        }
    }
    return 0;
}
