#include "sim/SimFarm.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace kestra::sim {

SimFarm::SimFarm(int count, std::string tablePath, SimOptions base)
    : tablePath_(std::move(tablePath)) {
  if (count < 1 || count > MaxFarmDevices)
    throw std::invalid_argument("device count must be 1 to 8");
  for (int k = 0; k < count; ++k) {
    SimOptions o = base;
    o.index = k;
    devices_.push_back(std::make_unique<SimDevice>(o));
  }
  if (tablePath_.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestra-devsim-XXXXXX";
    if (!::mkdtemp(dir.data())) throw std::runtime_error("cannot create " + dir);
    ownDir_ = dir;
    tablePath_ = dir + "/serial-table";
  }
  std::ofstream f(tablePath_, std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + tablePath_);
  for (int k = 0; k < count; ++k)
    f << "\\Device\\VCP" << k << '\t' << devices_[static_cast<std::size_t>(k)]->PortName() << '\n';
  f.close();
  if (!f) throw std::runtime_error("cannot write " + tablePath_);
}

SimFarm::~SimFarm() {
  ::unlink(tablePath_.c_str());
  if (!ownDir_.empty()) ::rmdir(ownDir_.c_str());
}

SimDevice* SimFarm::DeviceByPort(const std::string& port) {
  for (auto& d : devices_)
    if (d->PortName() == port) return d.get();
  return nullptr;
}

void SimFarm::ExportTable() const { ::setenv(SerialTableEnv, tablePath_.c_str(), 1); }

int SimFarm::ViolationCount() const {
  int n = 0;
  for (const auto& d : devices_) n += d->ViolationCount();
  return n;
}

std::vector<std::string> SimFarm::Violations() const {
  std::vector<std::string> all;
  for (const auto& d : devices_)
    for (auto& v : d->Violations()) all.push_back(d->PortName() + ": " + v);
  return all;
}

}  // namespace kestra::sim
