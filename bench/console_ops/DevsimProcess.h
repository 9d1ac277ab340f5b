// The device simulator as a process of its own, so that the CPU time a
// benchmark measures is the console's alone. It serves its devices on
// pseudo-terminals until this object ends it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QString>
#include <cstdlib>
#include <string>
#include <vector>

#include "WaitFor.h"

namespace kestra::bench {

class DevsimProcess {
 public:
  // Starts kestra-devsim with its serial table at table and the further
  // arguments given; its standard output is dropped.
  DevsimProcess(const std::string& table, const std::vector<std::string>& args) : table_(table) {
    std::vector<std::string> argv = {"kestra-devsim", "--table", table};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = fork();
    if (pid_ == 0) {
      const int quiet = open("/dev/null", O_WRONLY);
      if (quiet >= 0) dup2(quiet, STDOUT_FILENO);
      std::vector<char*> c;
      for (std::string& a : argv) c.push_back(a.data());
      c.push_back(nullptr);
      execv(KESTRA_DEVSIM_PATH, c.data());
      _exit(127);
    }
  }
  ~DevsimProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  DevsimProcess(const DevsimProcess&) = delete;
  DevsimProcess& operator=(const DevsimProcess&) = delete;

  // Waits until the table is written, then lists it to this process's port
  // listing; false when the simulator did not start.
  bool Started(int ms = 10000) const {
    if (pid_ <= 0) return false;
    const QString table = QString::fromStdString(table_);
    if (!kestra::testing::WaitFor([&] { return QFile(table).size() > 0; }, ms)) return false;
    setenv("KESTRA_SERIAL_TABLE", table_.c_str(), 1);
    return true;
  }

 private:
  std::string table_;
  pid_t pid_ = -1;
};

}  // namespace kestra::bench
