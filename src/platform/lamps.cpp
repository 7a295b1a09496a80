// Status lamps: a lamp's colour, and the words that say what the colour says.
#include "panels_internal.h"

#include <QColor>
#include <QFontMetrics>
#include <QLabel>

#include <algorithm>
#include <cmath>

namespace {

// Lamps say in words what their colour says, for operators who cannot tell yellow from green.
struct LampWording {
    int color;
    const char *text;
};
const LampWording LAMP_WORDINGS[] = {
    {VAL_YELLOW, "unconfirmed"},
    {VAL_GREEN, "confirmed"},
};

// Luminance as the eye sees it (sRGB, WCAG): pure green is bright and wants dark text, which a
// plain average of the channels gets wrong.
double RelativeLuminance(const QColor &color) {
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF()) +
           0.0722 * linear(color.blueF());
}

// Wide enough for every wording, so that a lamp changing state does not shift the row.
void ReserveLampWidth(QWidget *lamp) {
    const QFontMetrics metrics(lamp->font());
    int widest = 0;
    for (const LampWording &wording : LAMP_WORDINGS)
        widest = std::max(widest, metrics.horizontalAdvance(QString::fromLatin1(wording.text)));
    lamp->setMinimumWidth(widest + 2 * metrics.averageCharWidth() + 16);
}

} // namespace

bool IsLamp(const QWidget *widget) {
    return widget->property(PROP_ON_COLOR).isValid();
}

int LampColor(const QWidget *lamp) {
    return static_cast<int>(lamp->property(PROP_ON_COLOR).value<QColor>().rgb() & 0xFFFFFF);
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

void PrepareLamp(QWidget *lamp) {
    ReserveLampWidth(lamp);
    ShowLampColor(lamp, LampColor(lamp));
}
