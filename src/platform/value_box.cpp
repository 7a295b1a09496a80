// The value control: a timer in seconds with one decimal, and the value the program gave it.
#include "value_box.h"

#include <QKeyEvent>
#include <QSignalBlocker>

#include <algorithm>

ValueBox::ValueBox(QWidget *parent) : QDoubleSpinBox(parent) {
    // Otherwise every keystroke of "2.5" would commit 2, then 2.5.
    setKeyboardTracking(false);
    connect(this, &QDoubleSpinBox::valueChanged, this, [this] {
        setSpecialValueText(QString());
        programValue.reset();
    });
}

// A spin box shows its special value text while it holds its minimum.
void ValueBox::ShowPlaceholder(const QString &text) {
    setSpecialValueText(text);
}

void ValueBox::DropPlaceholder() {
    setSpecialValueText(QString());
}

bool ValueBox::HoldsValue() const {
    return specialValueText().isEmpty() || value() != minimum();
}

void ValueBox::SetProgramValue(double value) {
    const double held = std::clamp(value, minimum(), maximum());
    const QSignalBlocker quiet(this);
    setSpecialValueText(QString());
    setValue(held);
    programValue = held;
}

double ValueBox::ProgramValue() const {
    return programValue ? *programValue : value();
}

bool ValueBox::TakeShownText() {
    double ignored = 0;
    const bool number = Parse(text(), &ignored) == QValidator::Acceptable;
    interpretText();
    return number;
}

QValidator::State ValueBox::validate(QString &input, int &) const {
    double ignored = 0;
    return Parse(input, &ignored);
}

double ValueBox::valueFromText(const QString &text) const {
    double number = value();
    Parse(text, &number);
    return number;
}

// The numeric keypad's decimal key says "." or "," after the keyboard layout; either way it types
// the locale's decimal point.
void ValueBox::keyPressEvent(QKeyEvent *event) {
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

// Acceptable, with *number, for a plain number in range: digits (of any script) with at most one
// decimal point and no more decimals than the field shows. Intermediate for what typing may still
// make one, or is no number but must stay on view until it is reverted (two points, out of
// range). Invalid for any other character or one decimal too many: the key is refused.
QValidator::State ValueBox::Parse(const QString &shown, double *number) const {
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
