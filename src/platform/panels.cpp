// Panels and controls: loads panels from the Designer resource and turns Qt signals into callbacks.
//
// The resource binds itself to the run-time through dynamic properties (listed below and in the
// resource's own form comment); layout, labels and intervals live there, not here. A panel handle
// is an index into PanelsLoaded plus one and is never reused; a discarded panel leaves its slot
// behind with a null window, so a stale handle is refused rather than aliased. Callbacks may
// re-enter the event loop (message boxes, exchanges that poll), so no reference into PanelsLoaded
// is held across a callback.
#include "platform_internal.h"
#include "runtime.h"
#include "runtime_testing.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QColor>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QFile>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTimer>
#include <QUiLoader>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace {

// Dynamic properties of the resource.
const char PROP_RESOURCE_ID[] = "resourceId";               // panel: which resource it is
const char PROP_CALLBACK[] = "callback";                    // panel, control, menu command
const char PROP_CONTROL_ID[] = "controlId";                 // control number within its panel
const char PROP_TIMER_INTERVAL_MS[] = "timerIntervalMs";    // marks a timer control
const char PROP_FIRST_TICK_ON_PAINT[] = "firstTickOnPaint"; // timer control: see TickOnPaint
const char PROP_ON_COLOR[] = "onColor";                     // marks a status lamp
const char PROP_PORT_LIST[] = "portList";                   // ring whose entry i is port i + 1
const char PROP_MENU_BAR_ID[] = "menuBarId";
const char PROP_MENU_ITEM_ID[] = "menuItemId";
const char PROP_NO_FOCUS_REST[] = "noFocusRest"; // control the focus never rests on
const char PROP_PORT_STATUS[] = "portStatus";    // label that shows the link's port
const char PROP_PLACEHOLDER[] = "placeholder";   // value control's text before it holds a value

// Where a port list keeps each entry's own name ("COM2") while its text shows the device too.
const int PORT_NAME_ROLE = Qt::UserRole + 1;

// The exact value last given by SetCtrlVal. A value control shows one decimal, but the program
// reads back what it set (a count of 3 is set as the single-precision 0.3 and read back as such)
// until the operator commits a value of their own.
const char PROP_PROGRAM_VALUE[] = "tamselProgramValue";

// On the QTimer of a timer control marked firstTickOnPaint: its first tick since the panel was
// displayed is still to come with the panel's paint.
const char PROP_AWAITS_PAINT[] = "tamselAwaitsPaint";

// Lamps say in words what their colour says, for operators who cannot tell yellow from green.
struct LampWording {
    int color;
    const char *text;
};
const LampWording LAMP_WORDINGS[] = {
    {VAL_YELLOW, "unconfirmed"},
    {VAL_GREEN, "confirmed"},
};

struct Panel {
    QPointer<QWidget> window;
    PanelCallbackPtr callback;
    std::map<int, QPointer<QWidget>> controls;
    std::vector<QPointer<QTimer>> timers;
};

// The port the status lines show: the one last opened or tried; 0 before any.
int PanelsStatusPort = 0;
PortState PanelsStatusState = PORT_CLOSED;

const CallbackName *PanelsCallbacks = nullptr;
int PanelsCallbackCount = 0;
std::vector<Panel> PanelsLoaded;

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

int IntProperty(const QObject *object, const char *name) {
    bool ok = false;
    const int value = object->property(name).toInt(&ok);
    return ok ? value : 0;
}

// A timer control marked firstTickOnPaint ticks first as soon as its panel has painted, so that
// work done on that tick (first contact) starts with the window already in front of the operator,
// and no later; its interval still bounds the wait for a panel that is never painted (a window
// started minimised). The zero interval fires once the loop runs again, which is after the paint
// has reached the screen.
void TickOnPaint(const std::vector<QPointer<QTimer>> &timers) {
    for (const QPointer<QTimer> &timer : timers)
        if (timer && timer->isActive() && timer->property(PROP_AWAITS_PAINT).toBool()) {
            timer->setProperty(PROP_AWAITS_PAINT, false);
            timer->start(0);
        }
}

bool IsLamp(const QWidget *widget) {
    return widget->property(PROP_ON_COLOR).isValid();
}

// Luminance as the eye sees it (sRGB, WCAG): pure green is bright and wants dark text, which a
// plain average of the channels gets wrong.
double RelativeLuminance(const QColor &color) {
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF()) +
           0.0722 * linear(color.blueF());
}

void ShowLampColor(QWidget *lamp, int rgb) {
    const QColor color(rgb);
    lamp->setProperty(PROP_ON_COLOR, color);
    const char *text = "";
    for (const LampWording &wording : LAMP_WORDINGS)
        if (wording.color == rgb)
            text = wording.text;
    if (auto *label = qobject_cast<QLabel *>(lamp))
        label->setText(QString::fromLatin1(text));
    lamp->setAccessibleDescription(QString::fromLatin1(text));
    const bool dark = RelativeLuminance(color) < 0.18;
    lamp->setStyleSheet(
        QStringLiteral("background-color: %1; color: %2; border: 1px solid #606060;"
                       " border-radius: 4px; padding: 1px 8px;")
            .arg(color.name(), dark ? QStringLiteral("white") : QStringLiteral("black")));
}

// Wide enough for every wording, so that a lamp changing state does not shift the row.
void ReserveLampWidth(QWidget *lamp) {
    const QFontMetrics metrics(lamp->font());
    int widest = 0;
    for (const LampWording &wording : LAMP_WORDINGS)
        widest = std::max(widest, metrics.horizontalAdvance(QString::fromLatin1(wording.text)));
    lamp->setMinimumWidth(widest + 2 * metrics.averageCharWidth() + 16);
}

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

// A device path or descriptor is planted text: anyone may set TAMSEL_COM<n> or program a USB
// adapter's strings. Controls and invisible format characters (a newline, a right-to-left
// override) would break or disguise the line, so they show as a replacement character; and a
// text of any length is cut to what could ever be shown.
QString PlainDeviceText(const QString &text) {
    enum { LONGEST_SHOWN = 1024 };
    QString plain = text.size() > LONGEST_SHOWN
                        ? text.left(LONGEST_SHOWN / 2) + text.right(LONGEST_SHOWN / 2)
                        : text;
    for (QChar &c : plain)
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format ||
            c.category() == QChar::Separator_Line || c.category() == QChar::Separator_Paragraph)
            c = QChar::ReplacementCharacter;
    return plain;
}

// The widest a text about a device is shown: a long path is shortened in the middle, where its
// start and end (the device's own name) stay readable.
int DeviceTextWidth(const QWidget *widget) {
    const QFontMetrics metrics(widget->font());
    const QScreen *screen = widget->screen();
    const int third = screen ? screen->availableGeometry().width() / 3 : 400;
    return std::min(48 * metrics.averageCharWidth(), third);
}

// "/dev/ttyUSB0 (FT232R USB UART, FTDI, A600XYZ)", as shown in widget: the device port n maps to
// and, for a USB adapter, what it says of itself; with details false, its description alone.
QString DeviceText(const QWidget *widget, int port, const PortDeviceInfo &info, bool details) {
    QString text = PlainDeviceText(QString::fromLocal8Bit(ComPortDevice(port)));
    QStringList known;
    for (const QString &part : {info.description, info.manufacturer, info.serialNumber})
        if (!part.isEmpty() && (details || known.isEmpty()))
            known.push_back(PlainDeviceText(part));
    if (!known.isEmpty())
        text += QStringLiteral(" (%1)").arg(known.join(QStringLiteral(", ")));
    return QFontMetrics(widget->font()).elidedText(text, Qt::ElideMiddle, DeviceTextWidth(widget));
}

// Entry i of a port list is "COM<i+1> · <device>", "· not present" when nothing is there. The
// entries are made again each time the panel is shown, so an adapter plugged in meanwhile shows.
void LabelPortList(QComboBox *ring) {
    const std::vector<PortDeviceInfo> infos = LookUpPortDevices(ring->count());
    for (int i = 0; i < ring->count(); i++) {
        QVariant name = ring->itemData(i, PORT_NAME_ROLE);
        if (!name.isValid()) {
            name = ring->itemText(i);
            ring->setItemData(i, name, PORT_NAME_ROLE);
        }
        const PortDeviceInfo &info = infos[static_cast<size_t>(i)];
        QString text =
            QStringLiteral("%1 · %2").arg(name.toString(), DeviceText(ring, i + 1, info, true));
        if (!info.present)
            text += QStringLiteral(" · not present");
        ring->setItemText(i, text);
    }
}

// The port lists of window itself. A child panel's lists are its own to make when it shows:
// making them with the main panel would hold up the window's first paint for nothing.
void LabelPortLists(QWidget *window) {
    for (QComboBox *ring : window->findChildren<QComboBox *>())
        if (ring->window() == window && ring->property(PROP_PORT_LIST).toBool())
            LabelPortList(ring);
}

// "COM2 · /dev/ttyUSB0 (FT232R USB UART) · open", as shown in label.
QString PortStatusText(const QLabel *label) {
    if (PanelsStatusPort < 1)
        return QStringLiteral("No serial port opened yet");
    static const char *const WORDS[] = {"open", "could not be opened", "closed",
                                        "closed: the line dropped"};
    return QStringLiteral("COM%1 · %2 · %3")
        .arg(PanelsStatusPort)
        .arg(DeviceText(label, PanelsStatusPort, LookUpPortDevice(PanelsStatusPort), false))
        .arg(QString::fromLatin1(WORDS[PanelsStatusState]));
}

void ShowPortStatus(QWidget *window) {
    for (QLabel *label : window->findChildren<QLabel *>())
        if (label->property(PROP_PORT_STATUS).toBool()) {
            label->setTextFormat(Qt::PlainText);
            label->setText(PortStatusText(label));
            label->setAccessibleDescription(label->text());
        }
}

// A panel sized to its contents may have grown past the screen, or have been placed partly off
// it; either would put its buttons out of the operator's reach.
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
    QRect frame = window->geometry();
    // A child panel shown the first time opens over its parent, as a dialog does.
    if (QWidget *parent = window->parentWidget(); parent && !placed)
        frame.moveCenter(parent->geometry().center());
    frame.setSize(frame.size().boundedTo(area.size()));
    frame.moveLeft(std::clamp(frame.left(), area.left(), area.right() - frame.width() + 1));
    frame.moveTop(std::clamp(frame.top(), area.top(), area.bottom() - frame.height() + 1));
    window->setGeometry(frame);
}

// Raises close and focus events of one panel and its controls.
class PanelEvents : public QObject {
  public:
    PanelEvents(int panel, QObject *parent) : QObject(parent), handle(panel) {}
    // callback may be null: a button is watched for its keys whether or not it has one.
    void Watch(QWidget *control, int id, CtrlCallbackPtr callback) {
        controls[control] = {id, callback};
        control->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        const QEvent::Type type = event->type();
        auto control = controls.find(watched);
        if (control != controls.end()) {
            // A held key repeats its press many times a second; on a button each would be a
            // write to the unit.
            if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) &&
                qobject_cast<QAbstractButton *>(watched) &&
                static_cast<QKeyEvent *>(event)->isAutoRepeat())
                return true;
            if (!control->second.callback)
                return false;
            if (type == QEvent::FocusIn || type == QEvent::FocusOut) {
                const int focusEvent = type == QEvent::FocusIn ? EVENT_GOT_FOCUS : EVENT_LOST_FOCUS;
                control->second.callback(handle, control->second.id, focusEvent, nullptr, 0, 0);
            }
            return false;
        }
        Panel *panel = LookUpPanel(handle);
        if (!panel || watched != panel->window)
            return false;
        if (type == QEvent::Paint)
            TickOnPaint(panel->timers);
        const PanelCallbackPtr callback = panel->callback;
        if (type == QEvent::KeyPress)
            return PressDefaultButton(panel->window, static_cast<QKeyEvent *>(event));
        if (type == QEvent::Close) {
            if (!callback) {
                for (const QPointer<QTimer> &timer : panel->timers)
                    if (timer)
                        timer->stop();
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

  private:
    // Return and Enter that no control took reach the panel itself. Only a default button
    // answers them: on the main panel a stray Enter must not write anything to the unit.
    static bool PressDefaultButton(QWidget *window, QKeyEvent *key) {
        if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) || key->isAutoRepeat())
            return false;
        QPushButton *button = DefaultButton(window);
        if (!button || !button->isEnabled() || !button->isVisibleTo(window))
            return false;
        button->click();
        return true;
    }

    struct Watched {
        int id;
        CtrlCallbackPtr callback;
    };
    int handle;
    std::map<QObject *, Watched> controls;
};

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

// Resolves every control number and callback name in the panel. False when any is missing,
// repeated or unregistered: such a resource is not loaded at all.
bool BindPanel(QWidget *window, PanelCallbackPtr *panelCallback, std::vector<Binding> *controls,
               std::vector<MenuBinding> *commands) {
    *panelCallback = nullptr;
    const QVariant panelName = window->property(PROP_CALLBACK);
    if (panelName.isValid()) {
        const CallbackName *entry = FindCallback(panelName.toString(), KIND_PANEL);
        if (!entry)
            return false;
        *panelCallback = entry->panel;
    }
    std::set<int> seen;
    for (QWidget *widget : window->findChildren<QWidget *>()) {
        const QVariant idValue = widget->property(PROP_CONTROL_ID);
        const QVariant name = widget->property(PROP_CALLBACK);
        if (!idValue.isValid()) {
            if (name.isValid() || widget->property(PROP_TIMER_INTERVAL_MS).isValid())
                return false;
            continue;
        }
        const int id = IntProperty(widget, PROP_CONTROL_ID);
        if (id <= 0 || !seen.insert(id).second)
            return false;
        if (widget->property(PROP_TIMER_INTERVAL_MS).isValid() &&
            IntProperty(widget, PROP_TIMER_INTERVAL_MS) <= 0)
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

// Connects one control's operator actions to its callback. Only operator actions commit:
// SetCtrlVal and SetCtrlIndex never reach here.
void WireControl(int handle, Panel *panel, PanelEvents *events, const Binding &binding) {
    QWidget *widget = binding.widget;
    const int id = binding.id;
    const CtrlCallbackPtr callback = binding.callback;
    if (widget->property(PROP_TIMER_INTERVAL_MS).isValid()) {
        widget->hide();
        auto *timer = new QTimer(panel->window);
        const int intervalMs = IntProperty(widget, PROP_TIMER_INTERVAL_MS);
        timer->setInterval(intervalMs);
        timer->setProperty(PROP_FIRST_TICK_ON_PAINT,
                           widget->property(PROP_FIRST_TICK_ON_PAINT).toBool());
        QObject::connect(timer, &QTimer::timeout, timer, [timer, intervalMs, handle, id, callback] {
            // Back to the resource's interval before the callback runs: one that polls the loop
            // would otherwise meet the paint tick's zero interval again and again.
            timer->setProperty(PROP_AWAITS_PAINT, false);
            if (timer->interval() != intervalMs)
                timer->setInterval(intervalMs);
            if (callback && !LoopEnding())
                callback(handle, id, EVENT_TIMER_TICK, nullptr, 0, 0);
        });
        panel->timers.push_back(timer);
        return;
    }
    if (auto *spin = qobject_cast<QDoubleSpinBox *>(widget)) {
        // Otherwise every keystroke of "2.5" would commit 2, then 2.5.
        spin->setKeyboardTracking(false);
        // A spin box shows its special value text while it holds its minimum; until the control
        // first holds a value of its own, that minimum is not the unit's.
        spin->setSpecialValueText(spin->property(PROP_PLACEHOLDER).toString());
        QObject::connect(spin, &QDoubleSpinBox::valueChanged, spin, [spin, handle, id, callback] {
            spin->setSpecialValueText(QString());
            spin->setProperty(PROP_PROGRAM_VALUE, QVariant());
            if (callback)
                callback(handle, id, EVENT_COMMIT, nullptr, 0, 0);
        });
    }
    if (IsLamp(widget)) {
        ReserveLampWidth(widget);
        ShowLampColor(widget, widget->property(PROP_ON_COLOR).value<QColor>().rgb() & 0xFFFFFF);
    }
    if (auto *ring = qobject_cast<QComboBox *>(widget)) {
        if (callback)
            QObject::connect(ring, &QComboBox::activated, ring, [handle, id, callback] {
                callback(handle, id, EVENT_COMMIT, nullptr, 0, 0);
            });
    }
    auto *button = qobject_cast<QAbstractButton *>(widget);
    if (button && callback)
        QObject::connect(button, &QAbstractButton::clicked, button, [handle, id, callback] {
            callback(handle, id, EVENT_COMMIT, nullptr, 0, 0);
        });
    if (callback || button)
        events->Watch(widget, id, callback);
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

    QString path = QString::fromLocal8Bit(fileName);
    if (QDir::isRelativePath(path))
        path = QDir(QCoreApplication::applicationDirPath()).filePath(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return RT_ERR_NO_UI;
    QUiLoader loader;
    std::unique_ptr<QWidget> root(loader.load(&file));
    if (!root)
        return RT_ERR_NO_UI;
    QWidget *window = nullptr;
    for (QWidget *child : root->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        if (child->property(PROP_RESOURCE_ID).isValid() &&
            IntProperty(child, PROP_RESOURCE_ID) == resourceId)
            window = child;
    if (!window)
        return RT_ERR_NO_UI;

    AdoptMenuCommands(window);
    PanelCallbackPtr panelCallback = nullptr;
    std::vector<Binding> controls;
    std::vector<MenuBinding> commands;
    if (!BindPanel(window, &panelCallback, &controls, &commands))
        return RT_ERR_NO_UI;

    window->setParent(parentWindow, parentWindow ? Qt::Dialog : Qt::Window);
    root.reset();
    PlaceMenuBar(window);
    SetButtonKeys(window);
    ShowPortStatus(window);

    const int handle = static_cast<int>(PanelsLoaded.size()) + 1;
    PanelsLoaded.push_back({window, panelCallback, {}, {}});
    Panel *panel = &PanelsLoaded.back();
    auto *events = new PanelEvents(handle, window);
    window->installEventFilter(events);
    for (const Binding &binding : controls) {
        panel->controls[binding.id] = binding.widget;
        WireControl(handle, panel, events, binding);
    }
    const int menuBar = MenuBarId(window);
    for (const MenuBinding &command : commands) {
        const int item = command.id;
        const MenuCallbackPtr callback = command.callback;
        QObject::connect(
            command.action, &QAction::triggered, window,
            [menuBar, item, callback, handle] { callback(menuBar, item, nullptr, handle); });
    }
    window->adjustSize();
    return handle;
}

int DisplayPanel(int panel) {
    Panel *found = LookUpPanel(panel);
    if (!found)
        return RT_ERR_ARGUMENT;
    // Restarting a running timer would postpone its tick; showing a shown panel must not. Timers
    // start before the window shows, as a platform may paint it inside show().
    for (const QPointer<QTimer> &timer : found->timers)
        if (timer && !timer->isActive()) {
            timer->setProperty(PROP_AWAITS_PAINT, timer->property(PROP_FIRST_TICK_ON_PAINT));
            timer->start();
        }
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
    for (const QPointer<QTimer> &timer : found->timers)
        if (timer)
            timer->stop();
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
    case ATTR_DIMMED:
        // A control made operable holds a value the operator may write: no placeholder now.
        if (auto *spin = qobject_cast<QDoubleSpinBox *>(widget); spin && value == 0)
            spin->setSpecialValueText(QString());
        // Qt hands the focus of a control being dimmed to the next one in tab order, which on
        // the main panel is a write button.
        widget->setEnabled(value == 0);
        RestFocus(widget->window());
        return 0;
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
    auto *spin = qobject_cast<QDoubleSpinBox *>(LookUpControl(panel, control));
    if (!spin || !std::isfinite(value))
        return RT_ERR_ARGUMENT;
    // Out of range is coerced to the nearest limit, as the operator's own entry would be.
    const double held = std::clamp(value, spin->minimum(), spin->maximum());
    const QSignalBlocker quiet(spin);
    spin->setSpecialValueText(QString());
    spin->setValue(held);
    spin->setProperty(PROP_PROGRAM_VALUE, held);
    return 0;
}

int GetCtrlVal(int panel, int control, double *value) {
    auto *spin = qobject_cast<QDoubleSpinBox *>(LookUpControl(panel, control));
    if (!spin || !value)
        return RT_ERR_ARGUMENT;
    const QVariant held = spin->property(PROP_PROGRAM_VALUE);
    *value = held.isValid() ? held.toDouble() : spin->value();
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

int SetActiveCtrl(int panel, int control) {
    QWidget *widget = LookUpControl(panel, control);
    if (!widget || widget->focusPolicy() == Qt::NoFocus)
        return RT_ERR_ARGUMENT;
    widget->setFocus(Qt::OtherFocusReason);
    return 0;
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

void ReportPortState(int port, PortState state) {
    if (port < 1 || (state != PORT_OPENED && state != PORT_OPEN_FAILED && port != PanelsStatusPort))
        return;
    PanelsStatusPort = port;
    PanelsStatusState = state;
    for (const Panel &panel : PanelsLoaded)
        if (panel.window)
            ShowPortStatus(panel.window);
}

void RestFocusOfPanels() {
    for (size_t i = 0; i < PanelsLoaded.size(); i++) {
        QWidget *window = PanelsLoaded[i].window;
        if (window && window->isVisible())
            RestFocus(window);
    }
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
        *value = static_cast<int>(widget->property(PROP_ON_COLOR).value<QColor>().rgb() & 0xFFFFFF);
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
