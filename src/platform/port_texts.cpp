// The panels' texts about serial ports: each port list's entries and the status line.
#include "panels_internal.h"
#include "platform_services.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QScreen>

#include <algorithm>

namespace {

// Where a port list keeps each entry's own name ("COM2") while its text shows the device too.
const int PORT_NAME_ROLE = Qt::UserRole + 1;

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

// Every loaded panel's status lines, after the serial service has said that the shown port or its
// state changed.
void ShowPortStatusOfPanels() {
    for (const QPointer<QWidget> &window : PanelWindows())
        if (window)
            ShowPortStatus(window);
}

} // namespace

// The port lists of window itself. A child panel's lists are its own to make when it shows:
// making them with the main panel would hold up the window's first paint for nothing.
void LabelPortLists(QWidget *window) {
    for (QComboBox *ring : window->findChildren<QComboBox *>())
        if (ring->window() == window && ring->property(PROP_PORT_LIST).toBool())
            LabelPortList(ring);
}

void ShowPortStatus(QWidget *window) {
    for (QLabel *label : window->findChildren<QLabel *>())
        if (label->property(PROP_PORT_STATUS).toBool()) {
            label->setTextFormat(Qt::PlainText);
            label->setText(PortStatusText(label));
            SayStateInName(label, label->text());
        }
}

void FollowPortStatus() {
    SetPortStatusHook(ShowPortStatusOfPanels);
}
