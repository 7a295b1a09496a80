// What assistive technology is told of the panels' value controls, lamps and status lines.
#include "panels_internal.h"
#include "value_box.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLineEdit>

namespace {

// The accessible name the resource gave a lamp or status line; the run-time adds the state to it.
const char PROP_SPOKEN_NAME[] = "tamselSpokenName";

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
    auto *box = qobject_cast<ValueBox *>(object);
    return box ? new ValueBoxAccessible(box) : nullptr;
}

} // namespace

void InstallValueBoxAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(ValueBoxAccessibleFactory);
        return true;
    }();
    (void)installed;
}

// A screen reader speaks a control's name first: the state goes there, after what the resource
// names the control ("Aspiration time state: confirmed").
void SayStateInName(QWidget *widget, const QString &state) {
    if (!widget->property(PROP_SPOKEN_NAME).isValid())
        widget->setProperty(PROP_SPOKEN_NAME, widget->accessibleName());
    const QString name = widget->property(PROP_SPOKEN_NAME).toString();
    widget->setAccessibleName(name.isEmpty() ? state : name + QStringLiteral(": ") + state);
}
