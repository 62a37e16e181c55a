// The yardstick for the tray's memory: a plain Qt tray icon with a badge drawn in text
// and a context menu of the tray's shape (lines, three submenus of choices, commands),
// filled when it opens as the tray's is. Nothing else: no client, history, D-Bus watch
// or notifications. run-tray-memory-bench.sh runs it beside the tray. Main thread only.

#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <array>

namespace {

QIcon badgeIcon()
{
    QIcon icon;
    for (const int size : std::array{16, 22, 24, 32, 48, 64, 128}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor(0x1c, 0x1c, 0x1e));
        painter.drawRoundedRect(QRectF(0.5, 0.5, size - 1.0, size - 1.0), size * 0.18, size * 0.18);
        QFont font;
        font.setBold(true);
        font.setPixelSize(qMax(1, int(size * 0.6)));
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(QRect(0, 0, size, size), Qt::AlignCenter, QStringLiteral("42"));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

void addChoices(QMenu& menu, const QString& title, int count)
{
    QMenu* submenu = menu.addMenu(title);
    for (int i = 1; i <= count; ++i) {
        QAction* choice = submenu->addAction(QStringLiteral("%1 %2").arg(title).arg(i));
        choice->setCheckable(true);
        choice->setChecked(i == 1);
    }
}

void fill(QMenu& menu)
{
    menu.clear();
    for (int i = 1; i <= 4; ++i)
        menu.addAction(QStringLiteral("line %1").arg(i))->setEnabled(false);
    menu.addSeparator();
    addChoices(menu, QStringLiteral("interval"), 7);
    addChoices(menu, QStringLiteral("alert"), 5);
    addChoices(menu, QStringLiteral("time"), 2);
    menu.addSeparator();
    menu.addAction(QStringLiteral("refresh"))->setShortcut(Qt::CTRL | Qt::Key_R);
    menu.addAction(QStringLiteral("history"));
    menu.addAction(QStringLiteral("login"))->setCheckable(true);
    menu.addAction(QStringLiteral("open"));
    menu.addSeparator();
    QAction* quit = menu.addAction(QStringLiteral("quit"));
    quit->setShortcut(Qt::CTRL | Qt::Key_Q);
    QObject::connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QMenu menu;
    QObject::connect(&menu, &QMenu::aboutToShow, &menu, [&menu] { fill(menu); });
    QSystemTrayIcon tray;
    tray.setContextMenu(&menu);
    tray.setIcon(badgeIcon());
    tray.setToolTip(QStringLiteral("5h 58% · Week 21%"));
    tray.show();
    return QApplication::exec();
}
