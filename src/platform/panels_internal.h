// What the panel service's files share: resource properties, the registry, each part's calls.
//
// The resource binds itself to the run-time through dynamic properties (listed here and in the
// resource's own form comment); layout, labels and intervals live there, not in code. Callbacks
// may re-enter the event loop (message boxes, exchanges that poll), so no reference into the
// registry is held across a callback.
#ifndef TAMSEL_PLATFORM_PANELS_INTERNAL_H
#define TAMSEL_PLATFORM_PANELS_INTERNAL_H

#include "runtime.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <map>
#include <vector>

class QKeyEvent;
class ValueBox;

// ---------------------------------------------------------------------------------------------
// Dynamic properties of the resource.
inline constexpr char PROP_RESOURCE_ID[] = "resourceId";               // panel: which it is
inline constexpr char PROP_CALLBACK[] = "callback";                    // panel, control, command
inline constexpr char PROP_CONTROL_ID[] = "controlId";                 // control's number
inline constexpr char PROP_TIMER_INTERVAL_MS[] = "timerIntervalMs";    // marks a timer control
inline constexpr char PROP_FIRST_TICK_ON_PAINT[] = "firstTickOnPaint"; // see ControlTimer
inline constexpr char PROP_ON_COLOR[] = "onColor";                     // marks a status lamp
inline constexpr char PROP_PORT_LIST[] = "portList"; // ring whose entry i is port i + 1
inline constexpr char PROP_MENU_BAR_ID[] = "menuBarId";
inline constexpr char PROP_MENU_ITEM_ID[] = "menuItemId";
inline constexpr char PROP_NO_FOCUS_REST[] = "noFocusRest";  // control the focus never rests on
inline constexpr char PROP_PORT_STATUS[] = "portStatus";     // label that shows the link's port
inline constexpr char PROP_PLACEHOLDER[] = "placeholder";    // value control's text before a value
inline constexpr char PROP_VALUE_CONTROL[] = "valueControl"; // write button: the value it writes

// The integer property name of object, 0 when it has none.
int IntProperty(const QObject *object, const char *name);

// ---------------------------------------------------------------------------------------------
// Timer controls (control_timer.cpp).

// A timer control: calls tick every intervalMs while its panel shows. One marked firstTickOnPaint
// ticks first as soon as its panel has painted, so that work done on that tick (first contact)
// starts with the window already in front of the operator, and no later; its interval still
// bounds the wait for a panel that is never painted (a window started minimised).
class ControlTimer : public QTimer {
  public:
    ControlTimer(QObject *parent, int intervalMs, bool firstTickOnPaint,
                 std::function<void()> tick);
    // The panel is displayed: a running timer goes on as it was, so showing a shown panel never
    // postpones a tick.
    void StartWithPanel();
    void PanelPainted();

  private:
    void Tick();

    int intervalMs;
    bool firstTickOnPaint;
    bool awaitsPaint = false; // the first tick since the panel was displayed is still to come
    std::function<void()> tick;
};

// ---------------------------------------------------------------------------------------------
// The registry of loaded panels (panels.cpp). A panel handle is an index into it plus one and is
// never reused; a discarded panel leaves its slot behind with a null window, so a stale handle is
// refused rather than aliased.

struct Panel {
    QPointer<QWidget> window;
    PanelCallbackPtr callback;
    std::map<int, QPointer<QWidget>> controls;
    std::vector<QPointer<ControlTimer>> timers;
};

// The handle of the panel added.
int AddPanel(const Panel &panel);
Panel *LookUpPanel(int panel);
QWidget *LookUpControl(int panel, int control);
// The windows of the panels loaded and not discarded. A callback run meanwhile may discard one.
std::vector<QPointer<QWidget>> PanelWindows();
void StopTimers(const Panel &panel);
// The value control a write button writes (its valueControl), or nullptr.
ValueBox *ValueControlOf(int panel, const QWidget *button);
// A write button is dimmed exactly while the value control it writes is: until the row holds a
// value read from or written to the unit, there is nothing to write.
void DimWithValueControl(int panel, int field);

// ---------------------------------------------------------------------------------------------
// Loading (panel_loading.cpp) and events (panel_events.cpp).

// Raises close, focus and paint events of one panel and its controls as callbacks.
class PanelEvents : public QObject {
  public:
    PanelEvents(int panel, QObject *parent) : QObject(parent), handle(panel) {}
    // callback may be null: a button is watched for its keys whether or not it has one.
    void Watch(QWidget *control, int id, CtrlCallbackPtr callback);

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    bool ControlEvent(QObject *watched, QEvent *event);
    bool PanelEvent(QEvent *event);

    struct Watched {
        int id;
        CtrlCallbackPtr callback;
    };
    int handle;
    std::map<QObject *, Watched> controls;
};

// ---------------------------------------------------------------------------------------------
// Accessibility (accessibility.cpp).

void InstallValueBoxAccessibility();
// A screen reader speaks a control's name first: the state goes there, after what the resource
// names the control ("Aspiration time state: confirmed").
void SayStateInName(QWidget *widget, const QString &state);

// ---------------------------------------------------------------------------------------------
// Lamps (lamps.cpp).

bool IsLamp(const QWidget *widget);
// The lamp's lit colour, 0xRRGGBB.
int LampColor(const QWidget *lamp);
void ShowLampColor(QWidget *lamp, int rgb);
// Makes a lamp the resource gave a colour show it in words too, as wide as its widest wording.
void PrepareLamp(QWidget *lamp);

// ---------------------------------------------------------------------------------------------
// Focus and keys (focus.cpp).

// Moves the focus of window (null: nothing) off a control that is dimmed or marked as no resting
// place, onto the first operable control in tab order that is not so marked. Called wherever the
// run-time, not the operator, decides where the focus goes.
void RestFocus(QWidget *window);
void SetButtonKeys(QWidget *window);
// A Return or Enter no control took: true when the panel's default button pressed it.
bool PressDefaultButton(QWidget *window, QKeyEvent *key);

// ---------------------------------------------------------------------------------------------
// Port texts (port_texts.cpp).

// Makes window's port lists again from the devices present now: an entry for each port, then one
// for each serial device present that no port stands for.
void LabelPortLists(QWidget *window);
// The device a port list's entry stands for when it comes after the ports (as BindComPort takes
// it); empty for a port's own entry.
QByteArray PortListDevice(const QWidget *ring, int index);
void ShowPortStatus(QWidget *window);
// Keeps every panel's status lines following the serial service's shown port.
void FollowPortStatus();

// ---------------------------------------------------------------------------------------------
// Placement (placement.cpp).

void KeepOnScreen(QWidget *window);

#endif
