#include "link/PortList.h"

#include "platform/DeviceTable.h"

namespace kestra::link {

namespace {
constexpr char VcpPrefix[] = "\\Device\\VCP";  // 11 characters, compared case-sensitively
}

std::vector<std::string> ListVirtualComPorts() {
  std::vector<std::string> ports;
  for (const auto& entry : platform::ReadSerialDeviceTable()) {
    if (entry.ValueName.compare(0, sizeof VcpPrefix - 1, VcpPrefix) != 0) continue;
    if (platform::ProbeExclusiveOpen(entry.PortName)) ports.push_back(entry.PortName);
  }
  return ports;
}

}  // namespace kestra::link
