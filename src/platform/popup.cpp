// Message box service: modal boxes for the operator, or a hook that records them in tests.
#include "platform_services.h"
#include "runtime.h"
#include "runtime_testing.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

std::function<void(const std::string &title, const std::string &text)> popupHook;

// The window manager adds a frame and a title bar outside the box; this much of the screen is
// kept for them.
constexpr int WINDOW_DECORATION_PX = 64;

// The program's texts end lines with "\r\n" and carry a reply's own carriage return; a label would
// show a carriage return as a stray glyph, so it goes and "\n" alone breaks the line.
QString ShownText(const char *text) {
    QString shown = QString::fromLocal8Bit(text);
    shown.remove(QLatin1Char('\r'));
    return shown;
}

// A run of two or more spaces means the text is laid out with spaces (the version report's
// indented banner and aligned colons): it reads only in a fixed pitch and only unwrapped.
bool IsLaidOutWithSpaces(const QString &text) {
    return text.contains(QLatin1String("  "));
}

QRect AvailableArea(const QWidget *over) {
    const QScreen *screen = over ? over->screen() : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
}

// The window manager draws the title in a font of its own beside an icon and its buttons; room
// for the title in the bold of the desktop font and eight lines' height for the rest has held
// on the desktops tried.
int TitleWidth(const QWidget *box, const QString &title) {
    QFont font = box->font();
    font.setBold(true);
    const QFontMetrics metrics(font);
    return metrics.horizontalAdvance(title) + 8 * metrics.height();
}

int WidestLine(const QFontMetrics &metrics, const QString &text) {
    int widest = 0;
    for (const QString &line : text.split(QLatin1Char('\n')))
        widest = std::max(widest, metrics.horizontalAdvance(line));
    return widest;
}

// Laid-out text keeps its lines whole: the box grows to fit them, and where the screen is too
// small for that, the text scrolls inside a box as large as the screen.
QWidget *LaidOutText(QLabel *label, const QSize &room) {
    label->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    label->setWordWrap(false);
    auto *scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setWidget(label);
    const QSize wanted = label->sizeHint();
    const int bar = scroll->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const bool tooWide = wanted.width() > room.width();
    const bool tooHigh = wanted.height() + (tooWide ? bar : 0) > room.height();
    scroll->setMinimumSize(std::min(wanted.width() + (tooHigh ? bar : 0), room.width()),
                           std::min(wanted.height() + (tooWide ? bar : 0), room.height()));
    return scroll;
}

// Plain messages wrap at about sixty characters, as prose reads best.
QWidget *WrappedText(QLabel *label, const QSize &room) {
    label->setWordWrap(true);
    const QFontMetrics metrics(label->font());
    label->setMinimumWidth(std::min(
        {WidestLine(metrics, label->text()), 60 * metrics.averageCharWidth(), room.width()}));
    return label;
}

// The box: the text as plain text (received text goes into these boxes, so never markup) and
// an OK button, which Return, Enter and Escape press too.
void ComposeBox(QDialog *box, const QString &title, const QString &text) {
    box->setWindowTitle(title);
    auto *layout = new QVBoxLayout(box);
    auto *label = new QLabel(text);
    label->setObjectName(QStringLiteral("MessageText"));
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    QObject::connect(buttons, &QDialogButtonBox::accepted, box, &QDialog::accept);
    const QRect area = AvailableArea(box->parentWidget());
    const QMargins margins = layout->contentsMargins();
    const QSize room(area.width() - margins.left() - margins.right() - WINDOW_DECORATION_PX,
                     area.height() - margins.top() - margins.bottom() - layout->spacing() -
                         buttons->sizeHint().height() - WINDOW_DECORATION_PX);
    layout->addWidget(IsLaidOutWithSpaces(text) ? LaidOutText(label, room)
                                                : WrappedText(label, room));
    layout->addWidget(buttons);
    box->setMinimumWidth(std::min(TitleWidth(box, title), area.width() - WINDOW_DECORATION_PX));
    box->setMaximumSize(area.size() - QSize(WINDOW_DECORATION_PX, WINDOW_DECORATION_PX));
}

} // namespace

int MessagePopup(const char *title, const char *text) {
    if (!title || !text)
        return RT_ERR_ARGUMENT;
    if (TerminationRequested()) {
        fprintf(stderr, "%s: %s\n", title, text);
        return 0;
    }
    if (popupHook) {
        // A copy: the hook may replace itself while it runs.
        auto hook = popupHook;
        hook(title, text);
        RestFocusOfPanels();
        return 0;
    }
    if (!qobject_cast<QApplication *>(QCoreApplication::instance())) {
        fprintf(stderr, "%s: %s\n", title, text);
        return RT_ERR_NO_UI;
    }
    QDialog box(QApplication::activeWindow());
    ComposeBox(&box, QString::fromLocal8Bit(title), ShownText(text));
    box.exec();
    // The focus goes back to the window the box was shown over, where a button the operator
    // pressed to get here must not keep it.
    RestFocusOfPanels();
    return 0;
}

void SetPopupHook(std::function<void(const std::string &title, const std::string &text)> hook) {
    popupHook = std::move(hook);
}
