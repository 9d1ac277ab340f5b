// A pseudo-terminal pair for the tests: the master side stays with the test,
// the slave's name ("pts/N") is a port name.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace kestra::link::test {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

class Pty {
 public:
  Pty() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (master_.get() < 0 || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0)
      throw std::runtime_error("no pseudo-terminal");
    char name[64];
    if (::ptsname_r(master_.get(), name, sizeof name) != 0) throw std::runtime_error("no pts name");
    path_ = name;
    // Raw slave line, so bytes pass unchanged in both directions.
    Fd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios t{};
    if (slave.get() >= 0 && ::tcgetattr(slave.get(), &t) == 0) {
      ::cfmakeraw(&t);
      ::tcsetattr(slave.get(), TCSANOW, &t);
    }
  }
  int Master() const { return master_.get(); }
  const std::string& Path() const { return path_; }  // "/dev/pts/N"
  std::string PortName() const { return path_.substr(5); }

 private:
  Fd master_;
  std::string path_;
};

}  // namespace kestra::link::test
