// Shows one tooltip with the text given as the first argument at the point given by
// the next two, and keeps it up until killed. The desktop test compares the
// tallyglass tray tooltip against this one pixel by pixel: same Qt, same fonts, same
// style, so equal pixels mean equal text. Main thread only.

#include <QApplication>
#include <QPoint>
#include <QTimer>
#include <QToolTip>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: tooltip-reference TEXT X Y\n");
        return 2;
    }
    const QString text = QString::fromUtf8(argv[1]);
    const QPoint where(QString::fromUtf8(argv[2]).toInt(), QString::fromUtf8(argv[3]).toInt());
    constexpr int keepShownMs = 10 * 60 * 1000;
    QTimer::singleShot(0, &application, [text, where] {
        QToolTip::showText(where, text, nullptr, {}, keepShownMs);
    });
    return application.exec();
}
