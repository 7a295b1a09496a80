// Saves what the display shows as a PNG, cropped to the windows on it, for the demo's screenshot.
//
// Usage: window-shot OUTPUT.png
//
// Grabs the whole screen of $DISPLAY and keeps the smallest rectangle that holds every pixel
// differing from the screen's background, taken to be the colour of the bottom-right corner.
// On a bare X server (Xvfb, no window manager) that is exactly the windows shown; on a desktop
// with a picture behind the windows nothing is cropped. Exit status 0 when the file was written.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QScreen>

#include <algorithm>
#include <cstdio>

namespace {

// The bounding box of the pixels that differ from background; empty when there are none.
QRect ContentRect(const QImage &image, QRgb background) {
    int left = image.width(), top = image.height(), right = -1, bottom = -1;
    for (int y = 0; y < image.height(); y++) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); x++) {
            if (line[x] == background)
                continue;
            left = std::min(left, x);
            right = std::max(right, x);
            top = std::min(top, y);
            bottom = std::max(bottom, y);
        }
    }
    return right < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 2) {
        fprintf(stderr, "usage: window-shot OUTPUT.png\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen) {
        fprintf(stderr, "window-shot: no screen\n");
        return 1;
    }
    // Device pixels: at a scale factor of 2 the picture is twice the size, as the operator sees it.
    QImage shot = screen->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
    shot.setDevicePixelRatio(1);
    if (shot.isNull()) {
        fprintf(stderr, "window-shot: the screen could not be grabbed\n");
        return 1;
    }
    const QRect content = ContentRect(shot, shot.pixel(shot.width() - 1, shot.height() - 1));
    if (!content.isEmpty())
        shot = shot.copy(content);
    if (!shot.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        fprintf(stderr, "window-shot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
