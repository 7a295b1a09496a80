// Panels and controls: loads panels from the Designer resource and turns Qt signals into callbacks.
//
// The resource binds itself to the run-time through dynamic properties (listed below and in the
// resource's own form comment); layout, labels and intervals live there, not here. A panel handle
// is an index into PanelsLoaded plus one and is never reused; a discarded panel leaves its slot
// behind with a null window, so a stale handle is refused rather than aliased. Callbacks may
// re-enter the event loop (message boxes, exchanges that poll), so no reference into PanelsLoaded
// is held across a callback.
#include "platform_services.h"
#include "runtime.h"
#include "runtime_testing.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>
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
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTimer>
#include <QUiLoader>
#include <QValidator>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <vector>

void RestFocus(QWidget *window);

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
const char PROP_VALUE_CONTROL[] = "valueControl"; // write button: the value control it writes

// Where a port list keeps each entry's own name ("COM2") while its text shows the device too.
const int PORT_NAME_ROLE = Qt::UserRole + 1;

// The exact value last given by SetCtrlVal. A value control shows one decimal, but the program
// reads back what it set (a count of 3 is set as the single-precision 0.3 and read back as such)
// until the operator commits a value of their own.
const char PROP_PROGRAM_VALUE[] = "tamselProgramValue";

// The accessible name the resource gave a lamp or status line; the run-time adds the state to it.
const char PROP_SPOKEN_NAME[] = "tamselSpokenName";

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

// A value control: a timer in seconds with one decimal. Operators type the decimal point as their
// keyboard or their habit has it, whatever the PC's language, so "." and "," are both the decimal
// point in every locale, and neither is ever a thousands separator (a timer never needs one). A
// text that is not one plain number ("1.234,5", a lone point, nothing) is never guessed at: the
// field goes back to the value it held. Values are shown in the locale's own form ("2,5 s").
class ValueBox : public QDoubleSpinBox {
  public:
    using QDoubleSpinBox::lineEdit;
    using QDoubleSpinBox::QDoubleSpinBox;

    // False while the placeholder shows: the control holds no value of its own yet.
    bool HoldsValue() const { return specialValueText().isEmpty() || value() != minimum(); }

    // Takes what the field shows, as Enter would (a changed value commits). False when the text
    // is no number: the field is then back at the value it held, and nothing committed.
    bool TakeShownText() {
        double ignored = 0;
        const bool number = Parse(text(), &ignored) == QValidator::Acceptable;
        interpretText();
        return number;
    }

    QValidator::State validate(QString &input, int &) const override {
        double ignored = 0;
        return Parse(input, &ignored);
    }
    // QDoubleSpinBox would mend a text by dropping the locale's group separators, which turns
    // "1.5" into 15 in German: a text that is no number stays one, and is reverted.
    void fixup(QString &) const override {}
    double valueFromText(const QString &text) const override {
        double number = value();
        Parse(text, &number);
        return number;
    }

  protected:
    // The numeric keypad's decimal key says "." or "," after the keyboard layout; either way it
    // types the locale's decimal point.
    void keyPressEvent(QKeyEvent *event) override {
        if (!(event->modifiers() & Qt::KeypadModifier) ||
            (event->key() != Qt::Key_Period && event->key() != Qt::Key_Comma)) {
            QDoubleSpinBox::keyPressEvent(event);
            return;
        }
        QKeyEvent point(event->type(), event->key(), event->modifiers(), locale().decimalPoint(),
                        event->isAutoRepeat(), static_cast<ushort>(event->count()));
        QDoubleSpinBox::keyPressEvent(&point);
        event->setAccepted(point.isAccepted());
    }

  private:
    // Acceptable, with *number, for a plain number in range: digits (of any script) with at most
    // one decimal point and no more decimals than the field shows. Intermediate for what typing
    // may still make one, or is no number but must stay on view until it is reverted (two points,
    // out of range). Invalid for any other character or one decimal too many: the key is refused.
    QValidator::State Parse(const QString &shown, double *number) const {
        if (!specialValueText().isEmpty() && shown == specialValueText()) {
            *number = minimum();
            return QValidator::Acceptable;
        }
        QString text = shown;
        if (!prefix().isEmpty() && text.startsWith(prefix()))
            text.remove(0, prefix().size());
        if (!suffix().isEmpty() && text.endsWith(suffix()))
            text.chop(suffix().size());
        text = text.trimmed();
        QString plain; // ASCII digits, "." for the point
        int points = 0;
        int decimalsTyped = 0;
        for (const QChar c : text) {
            if (c.isDigit()) {
                plain += QChar('0' + c.digitValue());
                decimalsTyped += points;
            } else if (c == u'.' || c == u',' || locale().decimalPoint() == c) {
                plain += u'.';
                points++;
            } else {
                return QValidator::Invalid;
            }
        }
        if (points > 1)
            return QValidator::Intermediate;
        if (decimalsTyped > decimals())
            return QValidator::Invalid;
        bool ok = false;
        const double parsed = plain.size() > points ? plain.toDouble(&ok) : 0.0;
        if (!ok || parsed < minimum() || parsed > maximum())
            return QValidator::Intermediate;
        *number = parsed;
        return QValidator::Acceptable;
    }
};

// What assistive technology is told of a value control. Qt's own report gives a control showing
// its placeholder the minimum it holds meanwhile, 0.0; this one has no value to report there,
// not even a value interface, which the platform bridges would read as 0 whatever it said. Qt
// gives the line edit inside a spin box no interface of its own, so the text typed is told here.
class ValueBoxAccessible : public QAccessibleWidget,
                           public QAccessibleValueInterface,
                           public QAccessibleTextInterface {
  public:
    explicit ValueBoxAccessible(ValueBox *box) : QAccessibleWidget(box, QAccessible::SpinBox) {
        addControllingSignal(QStringLiteral("valueChanged(double)"));
    }
    QString text(QAccessible::Text type) const override {
        if (type == QAccessible::Value)
            return Box()->HoldsValue() ? Box()->textFromValue(Box()->value()) : QString();
        return QAccessibleWidget::text(type);
    }
    void *interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface)
            return Box()->HoldsValue() ? static_cast<QAccessibleValueInterface *>(this) : nullptr;
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QVariant currentValue() const override {
        return Box()->HoldsValue() ? QVariant(Box()->value()) : QVariant();
    }
    // As the operator's own entry: it commits.
    void setCurrentValue(const QVariant &value) override {
        if (Box()->isEnabled() && value.canConvert<double>())
            Box()->setValue(value.toDouble());
    }
    QVariant maximumValue() const override { return Box()->maximum(); }
    QVariant minimumValue() const override { return Box()->minimum(); }
    QVariant minimumStepSize() const override { return Box()->singleStep(); }

    QString text(int start, int end) const override {
        return Edit()->displayText().mid(start, end - start);
    }
    int characterCount() const override { return static_cast<int>(Edit()->displayText().size()); }
    int cursorPosition() const override { return Edit()->cursorPosition(); }
    void setCursorPosition(int position) override { Edit()->setCursorPosition(position); }
    int selectionCount() const override { return Edit()->hasSelectedText() ? 1 : 0; }
    void selection(int index, int *start, int *end) const override {
        *start = *end = 0;
        if (index == 0 && Edit()->hasSelectedText()) {
            *start = Edit()->selectionStart();
            *end = *start + Edit()->selectionLength();
        }
    }
    void setSelection(int, int start, int end) override {
        Edit()->setSelection(start, end - start);
    }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int) override { Edit()->deselect(); }
    int offsetAtPoint(const QPoint &point) const override {
        return Edit()->cursorPositionAt(Edit()->mapFromGlobal(point));
    }
    QRect characterRect(int) const override { return {}; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int *start, int *end) const override {
        *start = *end = offset;
        return {};
    }

  private:
    ValueBox *Box() const { return static_cast<ValueBox *>(widget()); }
    QLineEdit *Edit() const { return Box()->lineEdit(); }
};

QAccessibleInterface *ValueBoxAccessibleFactory(const QString &, QObject *object) {
    auto *box = dynamic_cast<ValueBox *>(object);
    return box ? new ValueBoxAccessible(box) : nullptr;
}

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

struct Panel {
    QPointer<QWidget> window;
    PanelCallbackPtr callback;
    std::map<int, QPointer<QWidget>> controls;
    std::vector<QPointer<QTimer>> timers;
};

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

// A screen reader speaks a control's name first: the state goes there, after what the resource
// names the control ("Aspiration time state: confirmed").
void SayStateInName(QWidget *widget, const QString &state) {
    if (!widget->property(PROP_SPOKEN_NAME).isValid())
        widget->setProperty(PROP_SPOKEN_NAME, widget->accessibleName());
    const QString name = widget->property(PROP_SPOKEN_NAME).toString();
    widget->setAccessibleName(name.isEmpty() ? state : name + QStringLiteral(": ") + state);
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
    SayStateInName(lamp, QString::fromLatin1(text));
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
    const PortStatus shown = ShownPortStatus();
    if (shown.port < 1)
        return QStringLiteral("No serial port opened yet");
    static const char *const WORDS[] = {"open", "could not be opened", "closed",
                                        "closed: the line dropped"};
    return QStringLiteral("COM%1 · %2 · %3")
        .arg(shown.port)
        .arg(DeviceText(label, shown.port, LookUpPortDevice(shown.port), false))
        .arg(QString::fromLatin1(WORDS[shown.state]));
}

void ShowPortStatus(QWidget *window) {
    for (QLabel *label : window->findChildren<QLabel *>())
        if (label->property(PROP_PORT_STATUS).toBool()) {
            label->setTextFormat(Qt::PlainText);
            label->setText(PortStatusText(label));
            SayStateInName(label, label->text());
        }
}

// Every loaded panel's status lines, after the serial service has said that the shown port or its
// state changed.
void ShowPortStatusOfPanels() {
    for (const Panel &panel : PanelsLoaded)
        if (panel.window)
            ShowPortStatus(panel.window);
}

// The window frame's widths around the client area; null until the window has a frame.
QMargins FrameMargins(const QWidget *window) {
    const QRect frame = window->frameGeometry();
    const QRect client = window->geometry();
    return {client.left() - frame.left(), client.top() - frame.top(),
            frame.right() - client.right(), frame.bottom() - client.bottom()};
}

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

// The value control a write button writes (its valueControl), or nullptr.
ValueBox *ValueControlOf(int panel, const QWidget *button) {
    const int field = IntProperty(button, PROP_VALUE_CONTROL);
    return field > 0 ? dynamic_cast<ValueBox *>(LookUpControl(panel, field)) : nullptr;
}

// A write button is dimmed exactly while the value control it writes is: until the row holds a
// value read from or written to the unit, there is nothing to write.
void DimWithValueControl(int panel, int field) {
    Panel *found = LookUpPanel(panel);
    QWidget *value = LookUpControl(panel, field);
    if (!found || !value)
        return;
    for (const auto &control : found->controls)
        if (control.second && IntProperty(control.second, PROP_VALUE_CONTROL) == field)
            control.second->setEnabled(value->isEnabled());
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
    // A write button names a value control of its own panel.
    for (const Binding &binding : *controls) {
        if (!binding.widget->property(PROP_VALUE_CONTROL).isValid())
            continue;
        const int field = IntProperty(binding.widget, PROP_VALUE_CONTROL);
        const auto named =
            std::find_if(controls->begin(), controls->end(),
                         [field](const Binding &other) { return other.id == field; });
        if (!qobject_cast<QAbstractButton *>(binding.widget) || named == controls->end() ||
            !dynamic_cast<ValueBox *>(named->widget))
            return false;
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
    // A write button, however pressed, first takes what its value control shows, as Enter would:
    // a mouse click leaves the focus (and an unfinished entry) in the field. A text that is no
    // number writes nothing.
    if (button && callback)
        QObject::connect(button, &QAbstractButton::clicked, button, [handle, id, callback, button] {
            ValueBox *value = ValueControlOf(handle, button);
            if (value && !value->TakeShownText())
                return;
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
    static const bool accessibleInstalled = [] {
        QAccessible::installFactory(ValueBoxAccessibleFactory);
        return true;
    }();
    (void)accessibleInstalled;
    SetPortStatusHook(ShowPortStatusOfPanels);
    PanelLoader loader;
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
    // Where the resource's layout put the panel means nothing on the screen: until the panel is
    // shown, it has not been placed.
    window->setAttribute(Qt::WA_Moved, false);
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
    for (const Binding &binding : controls)
        if (dynamic_cast<ValueBox *>(binding.widget))
            DimWithValueControl(handle, binding.id);
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
    case ATTR_DIMMED: {
        // A control made operable holds a value the operator may write: no placeholder now.
        if (auto *spin = qobject_cast<QDoubleSpinBox *>(widget); spin && value == 0)
            spin->setSpecialValueText(QString());
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

// Moves the focus of window (null: nothing) off a control that is dimmed or marked as no resting
// place, onto the first operable control in tab order that is not so marked. Called wherever the
// run-time, not the operator, decides where the focus goes.
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
