// The tests' stand-in for the system's serial devices: a list of ports and a folder of links.
#include "platform_os.h"
#include "runtime_testing.h"
#include "serial_line.h"

#include <QFile>

#include <memory>

namespace {

class StandInDirectory : public SerialDeviceDirectory {
  public:
    StandInDirectory(const std::vector<ListedSerialPort> &listed, const std::string &folder)
        : linkFolder(QFile::decodeName(folder.c_str())) {
        for (const ListedSerialPort &port : listed)
            ports.push_back({SerialDeviceName(port.name), QString::fromStdString(port.name),
                             QString::fromStdString(port.description),
                             QString::fromStdString(port.manufacturer),
                             QString::fromStdString(port.serialNumber)});
    }
    std::vector<SystemSerialPort> SystemPorts() const override { return ports; }
    std::vector<SerialLink> Links() const override { return ListSerialLinks(linkFolder); }

  private:
    std::vector<SystemSerialPort> ports;
    QString linkFolder;
};

std::unique_ptr<StandInDirectory> standInDirectory;

} // namespace

void StandInSerialDevices(const std::vector<ListedSerialPort> &ports,
                          const std::string &linkFolder) {
    auto directory = std::make_unique<StandInDirectory>(ports, linkFolder);
    UseSerialDeviceDirectory(directory.get());
    standInDirectory = std::move(directory);
}

void RestoreSerialDevices() {
    UseSerialDeviceDirectory(nullptr);
    standInDirectory.reset();
}
