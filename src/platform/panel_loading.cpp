// Panel loading: a panel built from the resource, bound to its callbacks, its controls wired.
#include "panels_internal.h"
#include "platform_services.h"
#include "value_box.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QUiLoader>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

namespace {

const CallbackName *PanelsCallbacks = nullptr;
int PanelsCallbackCount = 0;

// Builds every QDoubleSpinBox of the resource as a value control.
class PanelLoader : public QUiLoader {
  public:
    QWidget *createWidget(const QString &className, QWidget *parent, const QString &name) override {
        if (className != QLatin1String("QDoubleSpinBox"))
            return QUiLoader::createWidget(className, parent, name);
        auto *box = new ValueBox(parent);
        box->setObjectName(name);
        return box;
    }
};

enum CallbackKind { KIND_CONTROL, KIND_PANEL, KIND_MENU };

// The registered entry of the given kind named name, or nullptr.
const CallbackName *FindCallback(const QString &name, CallbackKind kind) {
    const QByteArray wanted = name.toUtf8();
    for (int i = 0; i < PanelsCallbackCount; i++) {
        const CallbackName &entry = PanelsCallbacks[i];
        if (!entry.name || std::strcmp(entry.name, wanted.constData()) != 0)
            continue;
        const bool fits = (kind == KIND_CONTROL && entry.control) ||
                          (kind == KIND_PANEL && entry.panel) || (kind == KIND_MENU && entry.menu);
        return fits ? &entry : nullptr;
    }
    return nullptr;
}

// What LoadPanel found in a panel before touching anything.
struct Binding {
    QWidget *widget;
    int id;
    CtrlCallbackPtr callback;
};
struct MenuBinding {
    QAction *action;
    int id;
    MenuCallbackPtr callback;
};

// The panel's own callback, if it names one. False when the name is not registered.
bool BindPanelCallback(QWidget *window, PanelCallbackPtr *panelCallback) {
    *panelCallback = nullptr;
    const QVariant name = window->property(PROP_CALLBACK);
    if (!name.isValid())
        return true;
    const CallbackName *entry = FindCallback(name.toString(), KIND_PANEL);
    if (entry)
        *panelCallback = entry->panel;
    return entry != nullptr;
}

// Every control: a number above 0 that no other control has, a timer's interval above 0, a
// registered callback. A callback or an interval on a widget without a number is an error too.
bool BindControls(QWidget *window, std::vector<Binding> *controls) {
    std::set<int> seen;
    for (QWidget *widget : window->findChildren<QWidget *>()) {
        const QVariant name = widget->property(PROP_CALLBACK);
        const bool timer = widget->property(PROP_TIMER_INTERVAL_MS).isValid();
        if (!widget->property(PROP_CONTROL_ID).isValid()) {
            if (name.isValid() || timer)
                return false;
            continue;
        }
        const int id = IntProperty(widget, PROP_CONTROL_ID);
        if (id <= 0 || !seen.insert(id).second)
            return false;
        if (timer && IntProperty(widget, PROP_TIMER_INTERVAL_MS) <= 0)
            return false;
        CtrlCallbackPtr callback = nullptr;
        if (name.isValid()) {
            const CallbackName *entry = FindCallback(name.toString(), KIND_CONTROL);
            if (!entry)
                return false;
            callback = entry->control;
        }
        controls->push_back({widget, id, callback});
    }
    return true;
}

// A write button names a value control of its own panel.
bool WriteButtonsNameValueControls(const std::vector<Binding> &controls) {
    for (const Binding &binding : controls) {
        if (!binding.widget->property(PROP_VALUE_CONTROL).isValid())
            continue;
        const int field = IntProperty(binding.widget, PROP_VALUE_CONTROL);
        const auto named =
            std::find_if(controls.begin(), controls.end(),
                         [field](const Binding &other) { return other.id == field; });
        if (!qobject_cast<QAbstractButton *>(binding.widget) || named == controls.end() ||
            !qobject_cast<ValueBox *>(named->widget))
            return false;
    }
    return true;
}

bool BindMenuCommands(QWidget *window, std::vector<MenuBinding> *commands) {
    for (QAction *action : window->findChildren<QAction *>()) {
        const QVariant name = action->property(PROP_CALLBACK);
        if (!name.isValid())
            continue;
        const CallbackName *entry = FindCallback(name.toString(), KIND_MENU);
        const int id = IntProperty(action, PROP_MENU_ITEM_ID);
        if (!entry || id <= 0)
            return false;
        commands->push_back({action, id, entry->menu});
    }
    return true;
}

// Resolves every control number and callback name in the panel. False when any is missing,
// repeated or unregistered: such a resource is not loaded at all.
bool BindPanel(QWidget *window, PanelCallbackPtr *panelCallback, std::vector<Binding> *controls,
               std::vector<MenuBinding> *commands) {
    return BindPanelCallback(window, panelCallback) && BindControls(window, controls) &&
           WriteButtonsNameValueControls(*controls) && BindMenuCommands(window, commands);
}

// Designer keeps a form's actions on the form's root, which LoadPanel throws away; the panel
// takes over the commands its menus show.
void AdoptMenuCommands(QWidget *window) {
    std::vector<QWidget *> menus;
    for (QMenuBar *bar : window->findChildren<QMenuBar *>())
        menus.push_back(bar);
    for (QMenu *menu : window->findChildren<QMenu *>())
        menus.push_back(menu);
    for (QWidget *menu : menus)
        for (QAction *action : menu->actions()) {
            QObject *owner = action->parent();
            while (owner && owner != window)
                owner = owner->parent();
            if (!owner)
                action->setParent(window);
        }
}

// A menu bar laid out among the controls would sit inside the panel's margins; the layout's own
// menu bar slot spans the window.
void PlaceMenuBar(QWidget *window) {
    QLayout *layout = window->layout();
    QMenuBar *bar = window->findChild<QMenuBar *>(QString(), Qt::FindDirectChildrenOnly);
    if (!layout || !bar)
        return;
    layout->removeWidget(bar);
    layout->setMenuBar(bar);
}

int MenuBarId(QWidget *window) {
    for (QMenuBar *bar : window->findChildren<QMenuBar *>())
        if (bar->property(PROP_MENU_BAR_ID).isValid())
            return IntProperty(bar, PROP_MENU_BAR_ID);
    return 0;
}

// A timer control is no widget on the panel: a ControlTimer ticks its callback.
void WireTimer(int handle, Panel *panel, const Binding &binding) {
    QWidget *widget = binding.widget;
    const int id = binding.id;
    const CtrlCallbackPtr callback = binding.callback;
    widget->hide();
    auto *timer = new ControlTimer(panel->window, IntProperty(widget, PROP_TIMER_INTERVAL_MS),
                                   widget->property(PROP_FIRST_TICK_ON_PAINT).toBool(),
                                   [handle, id, callback] {
                                       if (callback && !LoopEnding())
                                           callback(handle, id, EVENT_TIMER_TICK, nullptr, 0, 0);
                                   });
    panel->timers.push_back(timer);
}

// A write button, however pressed, first takes what its value control shows, as Enter would: a
// mouse click leaves the focus (and an unfinished entry) in the field. A text that is no number
// writes nothing.
void WireButton(int handle, QAbstractButton *button, int id, CtrlCallbackPtr callback) {
    QObject::connect(button, &QAbstractButton::clicked, button, [handle, id, callback, button] {
        ValueBox *value = ValueControlOf(handle, button);
        if (value && !value->TakeShownText())
            return;
        callback(handle, id, EVENT_COMMIT, nullptr, 0, 0);
    });
}

// Connects one control's operator actions to its callback. Only operator actions commit:
// SetCtrlVal and SetCtrlIndex never reach here.
void WireControl(int handle, Panel *panel, PanelEvents *events, const Binding &binding) {
    if (binding.widget->property(PROP_TIMER_INTERVAL_MS).isValid()) {
        WireTimer(handle, panel, binding);
        return;
    }
    QWidget *widget = binding.widget;
    const int id = binding.id;
    const CtrlCallbackPtr callback = binding.callback;
    if (auto *box = qobject_cast<ValueBox *>(widget)) {
        box->ShowPlaceholder(box->property(PROP_PLACEHOLDER).toString());
        if (callback)
            QObject::connect(box, &QDoubleSpinBox::valueChanged, box, [handle, id, callback] {
                callback(handle, id, EVENT_COMMIT, nullptr, 0, 0);
            });
    }
    if (IsLamp(widget))
        PrepareLamp(widget);
    if (auto *ring = qobject_cast<QComboBox *>(widget); ring && callback)
        QObject::connect(ring, &QComboBox::activated, ring, [handle, id, callback] {
            callback(handle, id, EVENT_COMMIT, nullptr, 0, 0);
        });
    auto *button = qobject_cast<QAbstractButton *>(widget);
    if (button && callback)
        WireButton(handle, button, id, callback);
    if (callback || button)
        events->Watch(widget, id, callback);
}

void WireMenuCommands(int handle, QWidget *window, const std::vector<MenuBinding> &commands) {
    const int menuBar = MenuBarId(window);
    for (const MenuBinding &command : commands) {
        const int item = command.id;
        const MenuCallbackPtr callback = command.callback;
        QObject::connect(
            command.action, &QAction::triggered, window,
            [menuBar, item, callback, handle] { callback(menuBar, item, nullptr, handle); });
    }
}

// The form read from the resource file fileName, with *window set to its panel resourceId; null
// when the file cannot be read or is no form. *window is null when the form has no such panel.
std::unique_ptr<QWidget> ReadForm(const char *fileName, int resourceId, QWidget **window) {
    *window = nullptr;
    QString path = QString::fromLocal8Bit(fileName);
    if (QDir::isRelativePath(path))
        path = QDir(QCoreApplication::applicationDirPath()).filePath(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    PanelLoader loader;
    std::unique_ptr<QWidget> root(loader.load(&file));
    if (!root)
        return nullptr;
    for (QWidget *child : root->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        if (child->property(PROP_RESOURCE_ID).isValid() &&
            IntProperty(child, PROP_RESOURCE_ID) == resourceId)
            *window = child;
    return root;
}

} // namespace

void RegisterCallbacks(const CallbackName *table, int count) {
    PanelsCallbacks = table;
    PanelsCallbackCount = table ? std::max(count, 0) : 0;
}

int LoadPanel(int parent, const char *fileName, int resourceId) {
    if (!fileName)
        return RT_ERR_ARGUMENT;
    QWidget *parentWindow = nullptr;
    if (parent != 0) {
        Panel *parentPanel = LookUpPanel(parent);
        if (!parentPanel)
            return RT_ERR_ARGUMENT;
        parentWindow = parentPanel->window;
    }
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return RT_ERR_NO_UI;
    InstallValueBoxAccessibility();
    FollowPortStatus();
    QWidget *window = nullptr;
    std::unique_ptr<QWidget> root = ReadForm(fileName, resourceId, &window);
    if (!window)
        return RT_ERR_NO_UI;
    AdoptMenuCommands(window);
    PanelCallbackPtr panelCallback = nullptr;
    std::vector<Binding> controls;
    std::vector<MenuBinding> commands;
    if (!BindPanel(window, &panelCallback, &controls, &commands))
        return RT_ERR_NO_UI;

    window->setParent(parentWindow, parentWindow ? Qt::Dialog : Qt::Window);
    // Where the resource's layout put the panel means nothing on the screen: until the panel is
    // shown, it has not been placed.
    window->setAttribute(Qt::WA_Moved, false);
    root.reset();
    PlaceMenuBar(window);
    SetButtonKeys(window);
    ShowPortStatus(window);

    const int handle = AddPanel({window, panelCallback, {}, {}});
    Panel *panel = LookUpPanel(handle);
    auto *events = new PanelEvents(handle, window);
    window->installEventFilter(events);
    for (const Binding &binding : controls) {
        panel->controls[binding.id] = binding.widget;
        WireControl(handle, panel, events, binding);
    }
    for (const Binding &binding : controls)
        if (qobject_cast<ValueBox *>(binding.widget))
            DimWithValueControl(handle, binding.id);
    WireMenuCommands(handle, window, commands);
    window->adjustSize();
    return handle;
}
