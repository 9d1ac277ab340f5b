// kestra-devsim: serves N simulated programmer devices on pseudo-terminals
// until SIGINT or SIGTERM, with a serial device table that lists them.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "sim/SimFarm.h"

namespace {

void Usage() {
  std::cerr << "usage: kestra-devsim [-n COUNT] [--table PATH] [--ident TEXT] [--paced]\n"
               "                     [--flash-us-per-kb US] [--standalone-interval MS]\n"
               "                     [--standalone-result CODE]\n"
               "  -n COUNT                 devices to serve, 1..8 (default 4)\n"
               "  --table PATH             serial device table to write (default: a new\n"
               "                           file in a private directory under $TMPDIR)\n"
               "  --ident TEXT             identification text (default \""
            << kestra::sim::DefaultIdent
            << "\")\n"
               "  --paced                  pace every byte at 1,000,000 baud 8N2 (11 us)\n"
               "  --flash-us-per-kb US     programming time per KB when paced (default 1000)\n"
               "  --standalone-interval MS a chip insertion every MS ms in stand-alone\n"
               "                           production (default 0: none)\n"
               "  --standalone-result CODE result of each stand-alone chip (default 6)\n";
}

bool Number(const char* s, long lo, long hi, long& out) {
  char* end = nullptr;
  out = std::strtol(s, &end, 0);
  return end && *end == 0 && out >= lo && out <= hi;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 4;
  std::string table;
  kestra::sim::SimOptions opt;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    long v = 0;
    if ((a == "-n" || a == "--count") && hasValue && Number(argv[i + 1], 1, 8, v)) {
      count = static_cast<int>(v);
      ++i;
    } else if (a == "--table" && hasValue) {
      table = argv[++i];
    } else if (a == "--ident" && hasValue) {
      opt.ident = argv[++i];
    } else if (a == "--paced") {
      opt.paced = true;
    } else if (a == "--flash-us-per-kb" && hasValue && Number(argv[i + 1], 0, 1000000, v)) {
      opt.flashUsPerKB = static_cast<uint32_t>(v);
      ++i;
    } else if (a == "--standalone-interval" && hasValue && Number(argv[i + 1], 0, 3600000, v)) {
      opt.standaloneIntervalMs = static_cast<int>(v);
      ++i;
    } else if (a == "--standalone-result" && hasValue && Number(argv[i + 1], 0, 255, v)) {
      opt.standaloneResult = static_cast<uint8_t>(v);
      ++i;
    } else if (a == "-h" || a == "--help") {
      Usage();
      return 0;
    } else {
      std::cerr << "kestra-devsim: bad argument: " << a << "\n";
      Usage();
      return 2;
    }
  }

  // Block the stop signals in every thread; the main thread waits for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    kestra::sim::SimFarm farm(count, table, opt);
    std::printf("table %s\n", farm.TablePath().c_str());
    for (int k = 0; k < farm.Count(); ++k)
      std::printf("device %d \\Device\\VCP%d %s\n", k, k, farm.Device(k).PortName().c_str());
    std::printf("export %s=%s\n", kestra::sim::SerialTableEnv, farm.TablePath().c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stopSignals, &sig);
    const int violations = farm.ViolationCount();
    for (const auto& v : farm.Violations()) std::fprintf(stderr, "violation: %s\n", v.c_str());
    std::printf("stopped by signal %d, %d violation(s)\n", sig, violations);
    return violations == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestra-devsim: %s\n", e.what());
    return 1;
  }
}
