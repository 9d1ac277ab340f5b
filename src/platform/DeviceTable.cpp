#include "platform/DeviceTable.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

namespace kestra::platform {

namespace {

namespace fs = std::filesystem;

std::vector<SerialDeviceEntry> ReadTableFile(const std::string& path) {
  std::vector<SerialDeviceEntry> table;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto tab = line.find('\t');
    if (tab == std::string::npos) continue;
    table.push_back({line.substr(0, tab), line.substr(tab + 1)});
  }
  return table;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// tty name -> its /dev/serial/by-id link, relative to /dev.
std::map<std::string, std::string> ByIdLinks() {
  std::map<std::string, std::string> links;
  std::error_code ec;
  for (fs::directory_iterator it("/dev/serial/by-id", ec), end; !ec && it != end;
       it.increment(ec)) {
    const fs::path target = fs::canonical(it->path(), ec);
    if (ec) {
      ec.clear();
      continue;
    }
    links.emplace(target.filename().string(), "serial/by-id/" + it->path().filename().string());
  }
  return links;
}

std::vector<SerialDeviceEntry> ReadSysTable() {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it("/sys/class/tty", ec), end; !ec && it != end; it.increment(ec)) {
    // Only ttys backed by a device are serial devices (not consoles or ptys).
    std::error_code e2;
    if (!fs::exists(it->path() / "device", e2)) continue;
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());

  const auto links = ByIdLinks();
  std::vector<SerialDeviceEntry> table;
  int vcp = 0;
  int other = 0;
  for (const auto& name : names) {
    const bool usb = StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM");
    const std::string value = usb ? "\\Device\\VCP" + std::to_string(vcp++)
                                  : "\\Device\\Serial" + std::to_string(other++);
    const auto link = links.find(name);
    table.push_back({value, link != links.end() ? link->second : name});
  }
  return table;
}

}  // namespace

std::vector<SerialDeviceEntry> ReadSerialDeviceTable() {
  const char* file = std::getenv("KESTRA_SERIAL_TABLE");
  if (file != nullptr && *file != '\0') return ReadTableFile(file);
  return ReadSysTable();
}

bool ProbeExclusiveOpen(const std::string& portName) {
  if (portName.empty()) return false;
  const std::string path = "/dev/" + portName;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);  // also drops the lock
  return locked;
}

}  // namespace kestra::platform
