// The platform's table of serial devices: one (value name, port name) pair per
// device, as the system's serial device map lists them.
#pragma once

#include <string>
#include <vector>

namespace kestra::platform {

struct SerialDeviceEntry {
  std::string ValueName;  // "\Device\VCP<n>" for USB virtual serial ports
  std::string PortName;   // opened as "/dev/" + PortName
};

// When the environment variable KESTRA_SERIAL_TABLE names a file, its lines
// ("value name<TAB>port name") form the table; otherwise it is built from
// /sys/class/tty: ttyUSB* and ttyACM* as "\Device\VCP<n>", other serial
// devices as "\Device\Serial<n>", the port name being the device's
// /dev/serial/by-id link relative to /dev where one exists, else the tty name.
std::vector<SerialDeviceEntry> ReadSerialDeviceTable();

// Opens "/dev/" + portName for reading and writing with an exclusive lock, as
// the serial component does, and closes it at once. True when that worked.
bool ProbeExclusiveOpen(const std::string& portName);

}  // namespace kestra::platform
