// A set of 1 to 8 simulated devices and the serial device table that lists them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/SimDevice.h"

namespace kestra::sim {

inline constexpr int MaxFarmDevices = 8;
inline constexpr const char* SerialTableEnv = "KESTRA_SERIAL_TABLE";

class SimFarm {
 public:
  // count: 1..8 devices. tablePath: where to write the table; empty picks a
  // fresh private directory under $TMPDIR (or /tmp). Device k gets index k and
  // the value name "\Device\VCP<k>". The table is removed by the destructor.
  explicit SimFarm(int count, std::string tablePath = {}, SimOptions base = {});
  ~SimFarm();
  SimFarm(const SimFarm&) = delete;
  SimFarm& operator=(const SimFarm&) = delete;

  int Count() const { return static_cast<int>(devices_.size()); }
  SimDevice& Device(int k) { return *devices_.at(static_cast<std::size_t>(k)); }
  // The device serving a port name such as "pts/7"; null when none does.
  SimDevice* DeviceByPort(const std::string& port);
  const std::string& TablePath() const { return tablePath_; }
  // Sets KESTRA_SERIAL_TABLE of this process to the table.
  void ExportTable() const;
  // Sum of all devices' violation counts, and all their texts.
  int ViolationCount() const;
  std::vector<std::string> Violations() const;

 private:
  std::vector<std::unique_ptr<SimDevice>> devices_;
  std::string tablePath_;
  std::string ownDir_;  // removed at the end when we made it
};

}  // namespace kestra::sim
