#include "PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace kestra::serial::test {

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
    throw std::runtime_error("no pseudo-terminal");
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("no pts name");
  portName_ = std::string(name).substr(5);  // strip "/dev/"
}

PtyPair::~PtyPair() { CloseMaster(); }

void PtyPair::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void PtyPair::Write(const std::vector<uint8_t>& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(master_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("pty write failed");
    done += static_cast<size_t>(n);
  }
}

std::vector<uint8_t> PtyPair::Read(size_t n, int timeoutMs) {
  std::vector<uint8_t> out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    uint8_t buf[4096];
    ssize_t r = read(master_, buf, std::min(sizeof buf, n - out.size()));
    if (r <= 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

}  // namespace kestra::serial::test
