// The panel registry and the control API: handles, showing panels, control values, attributes.
#include "panels_internal.h"
#include "runtime_testing.h"
#include "value_box.h"

#include <QAction>
#include <QComboBox>

#include <cmath>
#include <cstring>

namespace {

std::vector<Panel> PanelsLoaded;

} // namespace

int IntProperty(const QObject *object, const char *name) {
    bool ok = false;
    const int value = object->property(name).toInt(&ok);
    return ok ? value : 0;
}

int AddPanel(const Panel &panel) {
    PanelsLoaded.push_back(panel);
    return static_cast<int>(PanelsLoaded.size());
}

Panel *LookUpPanel(int panel) {
    if (panel < 1 || panel > static_cast<int>(PanelsLoaded.size()))
        return nullptr;
    Panel *found = &PanelsLoaded[panel - 1];
    return found->window ? found : nullptr;
}

QWidget *LookUpControl(int panel, int control) {
    Panel *found = LookUpPanel(panel);
    if (!found)
        return nullptr;
    auto it = found->controls.find(control);
    return it == found->controls.end() ? nullptr : it->second.data();
}

std::vector<QPointer<QWidget>> PanelWindows() {
    std::vector<QPointer<QWidget>> windows;
    for (const Panel &panel : PanelsLoaded)
        if (panel.window)
            windows.push_back(panel.window);
    return windows;
}

void StopTimers(const Panel &panel) {
    for (const QPointer<ControlTimer> &timer : panel.timers)
        if (timer)
            timer->stop();
}

ValueBox *ValueControlOf(int panel, const QWidget *button) {
    const int field = IntProperty(button, PROP_VALUE_CONTROL);
    return field > 0 ? qobject_cast<ValueBox *>(LookUpControl(panel, field)) : nullptr;
}

void DimWithValueControl(int panel, int field) {
    Panel *found = LookUpPanel(panel);
    QWidget *value = LookUpControl(panel, field);
    if (!found || !value)
        return;
    for (const auto &control : found->controls)
        if (control.second && IntProperty(control.second, PROP_VALUE_CONTROL) == field)
            control.second->setEnabled(value->isEnabled());
}

int DisplayPanel(int panel) {
    Panel *found = LookUpPanel(panel);
    if (!found)
        return RT_ERR_ARGUMENT;
    // Restarting a running timer would postpone its tick; showing a shown panel must not. Timers
    // start before the window shows, as a platform may paint it inside show().
    for (const QPointer<ControlTimer> &timer : found->timers)
        if (timer)
            timer->StartWithPanel();
    QWidget *window = found->window;
    LabelPortLists(window);
    KeepOnScreen(window);
    window->show();
    window->raise();
    window->activateWindow();
    RestFocus(window);
    return 0;
}

int HidePanel(int panel) {
    Panel *found = LookUpPanel(panel);
    if (!found)
        return RT_ERR_ARGUMENT;
    StopTimers(*found);
    found->window->hide();
    RestFocus(found->window->parentWidget());
    return 0;
}

int DiscardPanel(int panel) {
    Panel *found = LookUpPanel(panel);
    if (!found)
        return RT_ERR_ARGUMENT;
    delete found->window.data();
    return 0;
}

int SetCtrlAttribute(int panel, int control, int attribute, int value) {
    QWidget *widget = LookUpControl(panel, control);
    if (!widget)
        return RT_ERR_ARGUMENT;
    switch (attribute) {
    case ATTR_DIMMED: {
        if (auto *box = qobject_cast<ValueBox *>(widget); box && value == 0)
            box->DropPlaceholder();
        const ValueBox *written = ValueControlOf(panel, widget);
        // Qt hands the focus of a control being dimmed to the next one in tab order, which on
        // the main panel is a write button.
        widget->setEnabled(value == 0 && (!written || written->isEnabled()));
        DimWithValueControl(panel, control);
        RestFocus(widget->window());
        return 0;
    }
    case ATTR_ON_COLOR:
        if (!IsLamp(widget))
            return RT_ERR_ARGUMENT;
        ShowLampColor(widget, value & 0xFFFFFF);
        return 0;
    default:
        return RT_ERR_ARGUMENT;
    }
}

int SetCtrlVal(int panel, int control, double value) {
    auto *box = qobject_cast<ValueBox *>(LookUpControl(panel, control));
    if (!box || !std::isfinite(value))
        return RT_ERR_ARGUMENT;
    box->SetProgramValue(value);
    return 0;
}

int GetCtrlVal(int panel, int control, double *value) {
    auto *box = qobject_cast<ValueBox *>(LookUpControl(panel, control));
    if (!box || !value)
        return RT_ERR_ARGUMENT;
    *value = box->ProgramValue();
    return 0;
}

int GetCtrlIndex(int panel, int control, int *index) {
    auto *ring = qobject_cast<QComboBox *>(LookUpControl(panel, control));
    if (!ring || !index)
        return RT_ERR_ARGUMENT;
    *index = ring->currentIndex();
    return 0;
}

int SetCtrlIndex(int panel, int control, int index) {
    auto *ring = qobject_cast<QComboBox *>(LookUpControl(panel, control));
    if (!ring || index < 0 || index >= ring->count())
        return RT_ERR_ARGUMENT;
    ring->setCurrentIndex(index);
    return 0;
}

int GetValueFromIndex(int panel, int control, int index, char *value, int valueSize) {
    auto *ring = qobject_cast<QComboBox *>(LookUpControl(panel, control));
    if (!ring || index < 0 || index >= ring->count() || !value || valueSize < 1)
        return RT_ERR_ARGUMENT;
    value[0] = '\0';
    const QByteArray device = PortListDevice(ring, index);
    if (device.size() >= valueSize)
        return RT_ERR_ARGUMENT;
    memcpy(value, device.constData(), static_cast<size_t>(device.size()));
    value[device.size()] = '\0';
    return 0;
}

int SetActiveCtrl(int panel, int control) {
    QWidget *widget = LookUpControl(panel, control);
    if (!widget || widget->focusPolicy() == Qt::NoFocus)
        return RT_ERR_ARGUMENT;
    widget->setFocus(Qt::OtherFocusReason);
    return 0;
}

QWidget *PanelWidget(int panel) {
    Panel *found = LookUpPanel(panel);
    return found ? found->window.data() : nullptr;
}

QWidget *ControlWidget(int panel, int control) {
    return LookUpControl(panel, control);
}

int GetCtrlAttribute(int panel, int control, int attribute, int *value) {
    QWidget *widget = LookUpControl(panel, control);
    if (!widget || !value)
        return RT_ERR_ARGUMENT;
    switch (attribute) {
    case ATTR_DIMMED:
        *value = widget->isEnabled() ? 0 : 1;
        return 0;
    case ATTR_ON_COLOR:
        if (!IsLamp(widget))
            return RT_ERR_ARGUMENT;
        *value = LampColor(widget);
        return 0;
    default:
        return RT_ERR_ARGUMENT;
    }
}

int TriggerMenuCommand(int panel, const char *callbackName) {
    Panel *found = LookUpPanel(panel);
    if (!found || !callbackName)
        return RT_ERR_ARGUMENT;
    const QString wanted = QString::fromUtf8(callbackName);
    for (QAction *action : found->window->findChildren<QAction *>())
        if (action->property(PROP_CALLBACK).toString() == wanted && action->isEnabled()) {
            action->trigger();
            return 0;
        }
    return RT_ERR_ARGUMENT;
}
