// The value control: a timer in seconds with one decimal, and the value the program gave it.
#ifndef TAMSEL_PLATFORM_VALUE_BOX_H
#define TAMSEL_PLATFORM_VALUE_BOX_H

#include <QDoubleSpinBox>
#include <QValidator>

#include <optional>

class QKeyEvent;

// Operators type the decimal point as their keyboard or their habit has it, whatever the PC's
// language, so "." and "," are both the decimal point in every locale, and neither is ever a
// thousands separator (a timer never needs one). A text that is not one plain number ("1.234,5",
// a lone point, nothing) is never guessed at: the field goes back to the value it held. Values are
// shown in the locale's own form ("2,5 s").
// Until the control first holds a value of its own it shows a placeholder. A value the operator
// commits (by keys, by stepping, through assistive technology) drops the placeholder and the
// program's value; valueChanged is the commit, and SetProgramValue never raises it.
class ValueBox : public QDoubleSpinBox {
    Q_OBJECT

  public:
    explicit ValueBox(QWidget *parent);
    using QDoubleSpinBox::lineEdit;

    // Shows text while the control holds no value of its own (the minimum it holds meanwhile is
    // not the unit's); an empty text shows none.
    void ShowPlaceholder(const QString &text);
    // A control made operable holds a value the operator may write: no placeholder now.
    void DropPlaceholder();
    // False while the placeholder shows: the control holds no value of its own yet.
    bool HoldsValue() const;

    // Holds value, coerced into range as the operator's own entry would be, and reads back exactly
    // that (a count of 3 is set as the single-precision 0.3 and read back as such) until the
    // operator commits a value of their own; the field shows it with one decimal.
    void SetProgramValue(double value);
    double ProgramValue() const;

    // Takes what the field shows, as Enter would (a changed value commits). False when the text
    // is no number: the field is then back at the value it held, and nothing committed.
    bool TakeShownText();

    QValidator::State validate(QString &input, int &) const override;
    // QDoubleSpinBox would mend a text by dropping the locale's group separators, which turns
    // "1.5" into 15 in German: a text that is no number stays one, and is reverted.
    void fixup(QString &) const override {}
    double valueFromText(const QString &text) const override;

  protected:
    void keyPressEvent(QKeyEvent *event) override;

  private:
    QValidator::State Parse(const QString &shown, double *number) const;

    std::optional<double> programValue;
};

#endif
