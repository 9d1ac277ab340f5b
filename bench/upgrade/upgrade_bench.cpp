// upgrade_bench [ROUNDS]: median and worst time of an upgrade (eight blocks,
// each waiting for its acknowledgement) and of a verify, through the window
// on a simulated programmer, unpaced and paced at 1,000,000 baud.
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QToolButton>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "UpgradeTestUtil.h"
#include "sim/SimFarm.h"
#include "ui/ScriptedDialogs.h"
#include "upgrade/MainFwUpEPS.h"

namespace {

using kestra::upgrade::TFirmWareUG;
using kestra::upgrade::testing::WaitFor;

struct Figures {
  std::vector<double> upgradeMs, verifyMs;
};

void Report(const char* what, std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::printf("  %-8s median %7.1f ms  worst %7.1f ms  (%zu rounds)\n", what, v[v.size() / 2],
              v.back(), v.size());
}

bool Run(bool paced, int rounds) {
  kestra::sim::SimOptions options;
  options.paced = paced;
  kestra::sim::SimFarm farm(1, {}, options);
  farm.ExportTable();
  auto* dialogs = new kestra::ui::ScriptedDialogs;
  auto previous = kestra::ui::SetDialogs(std::unique_ptr<kestra::ui::DialogService>(dialogs));
  Figures f;
  {
    TFirmWareUG window;
    window.show();
    if (!WaitFor([&] { return window.SpdBtnDownLoad->isEnabled(); }, 10000)) return false;
    for (int r = 0; r < rounds; ++r) {
      QElapsedTimer t;
      std::size_t boxes = dialogs->boxes.size();
      t.start();
      window.SpdBtnDownLoad->click();
      if (!WaitFor([&] { return dialogs->boxes.size() > boxes; }, 30000)) return false;
      f.upgradeMs.push_back(t.nsecsElapsed() / 1e6);
      boxes = dialogs->boxes.size();
      t.restart();
      window.SpdBtnVerify->click();
      if (!WaitFor([&] { return dialogs->boxes.size() > boxes; }, 30000)) return false;
      f.verifyMs.push_back(t.nsecsElapsed() / 1e6);
    }
  }
  for (const auto& b : dialogs->boxes)
    if (b.kind != kestra::ui::ScriptedDialogs::Box::Information) return false;
  kestra::ui::SetDialogs(std::move(previous));
  std::printf("%s simulator:\n", paced ? "paced" : "unpaced");
  Report("upgrade", f.upgradeMs);
  Report("verify", f.verifyMs);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  for (bool paced : {false, true}) {
    if (!Run(paced, rounds)) {
      std::fprintf(stderr, "upgrade_bench: an operation failed or timed out\n");
      return 1;
    }
  }
  return 0;
}
