// Message box service: modal boxes for the operator, or a hook that records them in tests.
#include "platform_internal.h"
#include "runtime.h"
#include "runtime_testing.h"

#include <QApplication>
#include <QFontDatabase>
#include <QLabel>
#include <QMessageBox>

#include <cstdio>
#include <utility>

namespace {

std::function<void(const std::string &title, const std::string &text)> popupHook;

// The program's texts end lines with "\r\n" and carry a reply's own carriage return; a label would
// show a carriage return as a stray glyph, so it goes and "\n" alone breaks the line.
QString ShownText(const char *text) {
    QString shown = QString::fromLocal8Bit(text);
    shown.remove(QLatin1Char('\r'));
    return shown;
}

} // namespace

int MessagePopup(const char *title, const char *text) {
    if (!title || !text)
        return RT_ERR_ARGUMENT;
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
    QMessageBox box(QMessageBox::NoIcon, QString::fromLocal8Bit(title), ShownText(text),
                    QMessageBox::Ok, QApplication::activeWindow());
    // Received text goes into these boxes, so it is never read as markup.
    box.setTextFormat(Qt::PlainText);
    // The version report lines its colons up with spaces; that takes a fixed pitch.
    if (auto *label = box.findChild<QLabel *>(QStringLiteral("qt_msgbox_label")))
        label->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    box.exec();
    // The focus goes back to the window the box was shown over, where a button the operator
    // pressed to get here must not keep it.
    RestFocusOfPanels();
    return 0;
}

void SetPopupHook(std::function<void(const std::string &title, const std::string &text)> hook) {
    popupHook = std::move(hook);
}
