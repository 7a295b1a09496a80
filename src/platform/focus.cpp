// Focus and key rules of the panels: where the focus may rest, and which button Return presses.
#include "panels_internal.h"
#include "platform_services.h"

#include <QKeyEvent>
#include <QPushButton>

namespace {

bool IsFocusRest(const QWidget *widget) {
    return widget && widget->isEnabled() && !widget->property(PROP_NO_FOCUS_REST).toBool();
}

bool CanRestFocus(const QWidget *window, const QWidget *widget) {
    return widget->window() == window && IsFocusRest(widget) && widget->isVisibleTo(window) &&
           (widget->focusPolicy() & Qt::TabFocus) && !widget->focusProxy();
}

// The panel's own default button (Designer's default property), or nullptr. A child panel's
// buttons are the child's.
QPushButton *DefaultButton(QWidget *window) {
    for (QPushButton *button : window->findChildren<QPushButton *>())
        if (button->window() == window && button->isDefault())
            return button;
    return nullptr;
}

} // namespace

// Designer's autoDefault makes Return press a focused button. That is the dialog convention on a
// panel with a default button; elsewhere it would let one Enter rewrite a pump setting.
void SetButtonKeys(QWidget *window) {
    const bool hasDefault = DefaultButton(window) != nullptr;
    for (QPushButton *button : window->findChildren<QPushButton *>()) {
        if (!hasDefault)
            button->setAutoDefault(false);
        if (button->property(PROP_NO_FOCUS_REST).toBool())
            button->setFocusPolicy(Qt::TabFocus);
    }
}

// Return and Enter that no control took reach the panel itself. Only a default button
// answers them: on the main panel a stray Enter must not write anything to the unit.
bool PressDefaultButton(QWidget *window, QKeyEvent *key) {
    if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) || key->isAutoRepeat())
        return false;
    QPushButton *button = DefaultButton(window);
    if (!button || !button->isEnabled() || !button->isVisibleTo(window))
        return false;
    button->click();
    return true;
}

void RestFocus(QWidget *window) {
    if (!window || IsFocusRest(window->focusWidget()))
        return;
    for (QWidget *widget = window->nextInFocusChain(); widget && widget != window;
         widget = widget->nextInFocusChain())
        if (CanRestFocus(window, widget)) {
            widget->setFocus(Qt::OtherFocusReason);
            return;
        }
}

void RestFocusOfPanels() {
    // Moving the focus raises focus callbacks.
    for (const QPointer<QWidget> &window : PanelWindows())
        if (window && window->isVisible())
            RestFocus(window);
}
