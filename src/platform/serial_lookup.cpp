// Serial line service: what the system knows of the device at a path, for the operator to see.
#include "platform_os.h"
#include "serial_line.h"

PortDeviceInfo DescribeDevice(const std::string &path, SystemPortListing *listing) {
    PortDeviceInfo info;
    const QString device = SerialDeviceName(path);
    const DeviceKind kind = ExamineDevice(device);
    if (kind == DEVICE_ABSENT)
        return info;
    if (!listing->has_value())
        *listing = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &listed : **listing) {
        if (listed.systemLocation() != device)
            continue;
        info.present = true;
        if (listed.hasVendorIdentifier()) {
            info.description = listed.description();
            info.manufacturer = listed.manufacturer();
            info.serialNumber = listed.serialNumber();
        }
        return info;
    }
    // A system port the system does not list has no hardware behind it (the kernel keeps
    // placeholder ttyS ports); a pseudo-terminal is never listed.
    info.present = kind == DEVICE_OTHER;
    return info;
}
