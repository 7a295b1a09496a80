// Serial line service: which serial devices are there, and what each says of itself.
#include "platform_os.h"
#include "serial_line.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

class SystemDirectory : public SerialDeviceDirectory {
  public:
    std::vector<SystemSerialPort> SystemPorts() const override { return ListSystemSerialPorts(); }
    std::vector<SerialLink> Links() const override { return ListSerialLinks(SerialLinkFolder()); }
};

const SystemDirectory serialSystemDirectory;
const SerialDeviceDirectory *serialDirectory = &serialSystemDirectory;

const std::vector<SystemSerialPort> &Listed(SystemPortListing *listing) {
    if (!listing->has_value())
        *listing = serialDirectory->SystemPorts();
    return **listing;
}

const SystemSerialPort *FindListed(const QString &device, SystemPortListing *listing) {
    const std::vector<SystemSerialPort> &ports = Listed(listing);
    const auto found = std::find_if(ports.begin(), ports.end(), [&](const SystemSerialPort &port) {
        return port.device == device;
    });
    return found == ports.end() ? nullptr : &*found;
}

PortDeviceInfo InfoOf(const SystemSerialPort &port) {
    PortDeviceInfo info;
    info.present = true;
    info.description = port.description;
    info.manufacturer = port.manufacturer;
    info.serialNumber = port.serialNumber;
    return info;
}

bool Taken(const std::vector<QString> &taken, const QString &device) {
    return std::find(taken.begin(), taken.end(), device) != taken.end();
}

} // namespace

void UseSerialDeviceDirectory(const SerialDeviceDirectory *directory) {
    serialDirectory = directory ? directory : &serialSystemDirectory;
}

PortDeviceInfo DescribeDevice(const std::string &path, SystemPortListing *listing) {
    const QString device = SerialDeviceName(path);
    const DeviceKind kind = ExamineDevice(device);
    if (kind == DEVICE_ABSENT)
        return PortDeviceInfo();
    if (const SystemSerialPort *listed = FindListed(device, listing))
        return InfoOf(*listed);
    // A system port the system does not list has no hardware behind it (the kernel keeps
    // placeholder ttyS ports); a pseudo-terminal is never listed.
    PortDeviceInfo info;
    info.present = kind == DEVICE_OTHER;
    return info;
}

// An adapter with a link is offered by its link, which still leads to it after a replug as
// another tty; one device reached by several links is offered once.
std::vector<OtherSerialDevice> ListOtherSerialDevices(const std::vector<QString> &taken,
                                                      SystemPortListing *listing) {
    std::vector<OtherSerialDevice> others;
    std::vector<QString> offered = taken;
    for (const SerialLink &link : serialDirectory->Links()) {
        if (Taken(offered, link.device))
            continue;
        offered.push_back(link.device);
        OtherSerialDevice other;
        other.binding = QFile::encodeName(link.link).toStdString();
        other.name = link.device;
        other.linkName = QFileInfo(link.link).fileName();
        const SystemSerialPort *listed = FindListed(link.device, listing);
        other.info = listed ? InfoOf(*listed) : PortDeviceInfo();
        other.info.present = true;
        others.push_back(other);
    }
    for (const SystemSerialPort &port : Listed(listing)) {
        if (Taken(offered, port.device))
            continue;
        offered.push_back(port.device);
        others.push_back({QFile::encodeName(port.name).toStdString(), port.name, QString(),
                          InfoOf(port)});
    }
    return others;
}
