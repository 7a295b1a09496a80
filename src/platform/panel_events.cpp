// Panel events: what a panel and its controls raise (close, focus, paint, keys), as callbacks.
#include "panels_internal.h"

#include <QAbstractButton>
#include <QEvent>
#include <QKeyEvent>

void PanelEvents::Watch(QWidget *control, int id, CtrlCallbackPtr callback) {
    controls[control] = {id, callback};
    control->installEventFilter(this);
}

bool PanelEvents::eventFilter(QObject *watched, QEvent *event) {
    if (controls.count(watched))
        return ControlEvent(watched, event);
    Panel *panel = LookUpPanel(handle);
    if (!panel || watched != panel->window)
        return false;
    return PanelEvent(event);
}

bool PanelEvents::ControlEvent(QObject *watched, QEvent *event) {
    const QEvent::Type type = event->type();
    const Watched control = controls[watched];
    // A held key repeats its press many times a second; on a button each would be a write to the
    // unit.
    if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) &&
        qobject_cast<QAbstractButton *>(watched) && static_cast<QKeyEvent *>(event)->isAutoRepeat())
        return true;
    if (!control.callback)
        return false;
    if (type == QEvent::FocusIn || type == QEvent::FocusOut) {
        const int focusEvent = type == QEvent::FocusIn ? EVENT_GOT_FOCUS : EVENT_LOST_FOCUS;
        control.callback(handle, control.id, focusEvent, nullptr, 0, 0);
    }
    return false;
}

bool PanelEvents::PanelEvent(QEvent *event) {
    const QEvent::Type type = event->type();
    Panel *panel = LookUpPanel(handle);
    if (type == QEvent::Paint)
        for (const QPointer<ControlTimer> &timer : panel->timers)
            if (timer)
                timer->PanelPainted();
    const PanelCallbackPtr callback = panel->callback;
    if (type == QEvent::KeyPress)
        return PressDefaultButton(panel->window, static_cast<QKeyEvent *>(event));
    if (type == QEvent::Close) {
        if (!callback) {
            StopTimers(*panel);
            RestFocus(panel->window->parentWidget());
            return false;
        }
        // The window stays: the callback decides what closing means (the main panel quits).
        event->ignore();
        callback(handle, EVENT_CLOSE, nullptr, 0, 0);
        return true;
    }
    if (callback && (type == QEvent::WindowActivate || type == QEvent::WindowDeactivate))
        callback(handle, type == QEvent::WindowActivate ? EVENT_GOT_FOCUS : EVENT_LOST_FOCUS,
                 nullptr, 0, 0);
    return false;
}
