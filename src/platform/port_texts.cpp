// The panels' texts about serial ports: each port list's entries and the status line.
#include "panels_internal.h"
#include "platform_services.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QScreen>

#include <algorithm>

namespace {

// Where a port list keeps each entry's own name ("COM2") while its text shows the device too, and
// an entry after the ports the device it stands for.
const int PORT_NAME_ROLE = Qt::UserRole + 1;
const int PORT_DEVICE_ROLE = Qt::UserRole + 2;

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

QString Elided(const QWidget *widget, const QString &text) {
    return QFontMetrics(widget->font()).elidedText(text, Qt::ElideMiddle, DeviceTextWidth(widget));
}

// What the device says of itself: its description, its maker and, with details, its serial number.
QStringList KnownOf(const PortDeviceInfo &info, bool details) {
    QStringList known;
    for (const QString &part : {info.description, info.manufacturer, info.serialNumber})
        if (!part.isEmpty() && (details || known.size() < 2))
            known.push_back(PlainDeviceText(part));
    return known;
}

// "/dev/ttyUSB0 (FT232R USB UART, FTDI, A600XYZ)", as shown in widget: the device port n maps to
// and what it says of itself; without details, its description and maker alone. Where the device
// is the port's own name (Windows: COM2 is port 2), only what it says of itself, or nothing.
QString DeviceText(const QWidget *widget, int port, const PortDeviceInfo &info, bool details) {
    const QString device = QString::fromLocal8Bit(ComPortDevice(port));
    QStringList known = KnownOf(info, details);
    if (device.compare(QStringLiteral("COM%1").arg(port), Qt::CaseInsensitive) == 0) {
        if (known.isEmpty())
            return QString();
        const QString first = known.takeFirst();
        return Elided(widget, known.isEmpty() ? first
                                              : QStringLiteral("%1 (%2)").arg(
                                                    first, known.join(QStringLiteral(", "))));
    }
    QString text = PlainDeviceText(device);
    if (!known.isEmpty())
        text += QStringLiteral(" (%1)").arg(known.join(QStringLiteral(", ")));
    return Elided(widget, text);
}

// The parts joined as the operator reads them: "COM2 · /dev/ttyUSB0 · open"; empty parts left out.
QString Joined(const QStringList &parts) {
    QStringList shown;
    for (const QString &part : parts)
        if (!part.isEmpty())
            shown.push_back(part);
    return shown.join(QStringLiteral(" · "));
}

const char BINDING_REFUSED[] = "binding ignored: not a serial device";

// Why port's device is not the one the operator chose, or nothing.
QString MappingNote(const QWidget *widget, int port) {
    const PortMapping mapping = LookUpPortMapping(port);
    if (mapping.binding.empty())
        return QString();
    if (mapping.variableSet)
        return QStringLiteral("set by TAMSEL_COM%1 over the chosen %2")
            .arg(port)
            .arg(Elided(widget, PlainDeviceText(QString::fromLocal8Bit(mapping.binding.c_str()))));
    return mapping.bindingRefused ? QString::fromLatin1(BINDING_REFUSED) : QString();
}

// The entries of ring that stand for its ports: those before the first device entry.
int PortEntries(const QComboBox *ring) {
    int count = 0;
    while (count < ring->count() && !ring->itemData(count, PORT_DEVICE_ROLE).isValid())
        count++;
    return count;
}

// "/dev/ttyUSB0 · FT232R USB UART · FTDI · A600XYZ": the device and what it says of itself, or
// the name of the link that leads to it when it says nothing.
QString OtherDeviceText(const QWidget *widget, const OtherSerialDevice &other) {
    QStringList parts{Elided(widget, PlainDeviceText(other.name))};
    QStringList known = KnownOf(other.info, true);
    if (known.isEmpty() && !other.linkName.isEmpty())
        known.push_back(PlainDeviceText(other.linkName));
    for (const QString &part : known)
        parts.push_back(Elided(widget, part));
    return Joined(parts);
}

// Entry i of a port list is "COM<i+1> · <device>", "· not present" when nothing is there, and why
// its device is not the chosen one where it is not. The devices no port stands for follow. The
// entries are made again each time the panel is shown, so an adapter plugged in meanwhile shows.
void LabelPortList(QComboBox *ring) {
    const int ports = PortEntries(ring);
    while (ring->count() > ports)
        ring->removeItem(ports);
    const PortListDevices devices = LookUpPortListDevices(ports);
    for (int i = 0; i < ports; i++) {
        QVariant name = ring->itemData(i, PORT_NAME_ROLE);
        if (!name.isValid()) {
            name = ring->itemText(i);
            ring->setItemData(i, name, PORT_NAME_ROLE);
        }
        const PortDeviceInfo &info = devices.ports[static_cast<size_t>(i)];
        ring->setItemText(i, Joined({name.toString(), DeviceText(ring, i + 1, info, true),
                                     info.present ? QString() : QStringLiteral("not present"),
                                     MappingNote(ring, i + 1)}));
    }
    for (const OtherSerialDevice &other : devices.others) {
        ring->addItem(OtherDeviceText(ring, other));
        ring->setItemData(ring->count() - 1, QByteArray::fromStdString(other.binding),
                          PORT_DEVICE_ROLE);
    }
}

// "COM2 · /dev/ttyUSB0 (FT232R USB UART, FTDI) · open", as shown in label.
QString PortStatusText(const QLabel *label) {
    const PortStatus shown = ShownPortStatus();
    if (shown.port < 1)
        return QStringLiteral("No serial port opened yet");
    static const char *const WORDS[] = {"open", "could not be opened", "closed",
                                        "closed: the line dropped"};
    const PortMapping mapping = LookUpPortMapping(shown.port);
    return Joined({QStringLiteral("COM%1").arg(shown.port),
                   mapping.bindingRefused && !mapping.variableSet
                       ? QString::fromLatin1(BINDING_REFUSED)
                       : QString(),
                   DeviceText(label, shown.port, LookUpPortDevice(shown.port), false),
                   QString::fromLatin1(WORDS[shown.state])});
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

QByteArray PortListDevice(const QWidget *widget, int index) {
    const auto *ring = qobject_cast<const QComboBox *>(widget);
    return ring ? ring->itemData(index, PORT_DEVICE_ROLE).toByteArray() : QByteArray();
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
