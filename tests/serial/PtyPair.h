// A pseudo-terminal for the tests: the master stays with the test (the device
// side), the slave's name ("pts/N") is what a TComm opens.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestra::serial::test {

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& PortName() const { return portName_; }
  std::string SlavePath() const { return "/dev/" + portName_; }
  int MasterFd() const { return master_; }
  // Writes everything (blocking).
  void Write(const std::vector<uint8_t>& data);
  // Reads until n bytes arrived or the time limit passed.
  std::vector<uint8_t> Read(size_t n, int timeoutMs = 10000);
  // The device goes away.
  void CloseMaster();

 private:
  int master_ = -1;
  std::string portName_;
};

}  // namespace kestra::serial::test
