// Window placement: a panel sized to its contents and kept within its screen.
#include "panels_internal.h"

#include <QLayout>
#include <QScreen>

#include <algorithm>

namespace {

// The window frame's widths around the client area; null until the window has a frame.
QMargins FrameMargins(const QWidget *window) {
    const QRect frame = window->frameGeometry();
    const QRect client = window->geometry();
    return {client.left() - frame.left(), client.top() - frame.top(),
            frame.right() - client.right(), frame.bottom() - client.bottom()};
}

} // namespace

// A panel sized to its contents may have grown past the screen, or have been placed partly off
// it; either would put its buttons out of the operator's reach. What must fit is the frame: a
// client area placed at the screen's top edge leaves the title bar (move, close) above it. A
// top-level panel not placed yet is left where the window manager puts it.
void KeepOnScreen(QWidget *window) {
    const QScreen *screen = window->screen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    // Controls whose texts just changed have only asked for a new layout; it would come after
    // the panel showed at its old size.
    if (QLayout *layout = window->layout()) {
        layout->invalidate();
        layout->activate();
    }
    const bool placed = window->testAttribute(Qt::WA_Moved);
    window->adjustSize();
    QWidget *parent = window->parentWidget();
    // A frame is known once its window has been shown; a child panel's first borrows its parent's.
    QMargins margins = FrameMargins(window);
    if (margins.isNull() && parent)
        margins = FrameMargins(parent);
    QRect frame(window->frameGeometry().topLeft(),
                window->size().grownBy(margins).boundedTo(area.size()));
    window->resize(frame.size().shrunkBy(margins));
    if (!placed && !parent)
        return;
    // A child panel shown the first time opens over its parent, as a dialog does.
    if (!placed)
        frame.moveCenter(parent->frameGeometry().center());
    frame.moveLeft(std::clamp(frame.left(), area.left(), area.right() - frame.width() + 1));
    frame.moveTop(std::clamp(frame.top(), area.top(), area.bottom() - frame.height() + 1));
    // Not move(): on a window that has its native window already (the panels have one from the
    // start) it places the client area, and only before that the frame.
    window->setGeometry(frame.marginsRemoved(margins));
}
