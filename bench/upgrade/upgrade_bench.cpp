// upgrade_bench [ROUNDS]: median and worst time of an upgrade (eight blocks,
// each waiting for its acknowledgement) and of a verify, through the window
// on a simulated programmer, unpaced and paced at 1,000,000 baud. Each
// operation is timed in the event loop itself, which is quit by the result box
// that ends it.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "UpgradeTestUtil.h"
#include "sim/SimFarm.h"
#include "ui/ScriptedDialogs.h"
#include "upgrade/MainFwUpEPS.h"

namespace {

using kestra::upgrade::TFirmWareUG;
using kestra::upgrade::testing::WaitFor;

// The scripted dialogs, telling when a box is shown.
class BoxWatch : public kestra::ui::ScriptedDialogs {
 public:
  std::function<void()> onBox;

  void ShowMessage(QWidget* parent, const QString& text) override {
    ScriptedDialogs::ShowMessage(parent, text);
    Shown();
  }
  void InformationBox(QWidget* parent, const QString& caption, const QString& text) override {
    ScriptedDialogs::InformationBox(parent, caption, text);
    Shown();
  }
  void ErrorBox(QWidget* parent, const QString& caption, const QString& text) override {
    ScriptedDialogs::ErrorBox(parent, caption, text);
    Shown();
  }

 private:
  void Shown() {
    if (onBox) onBox();
  }
};

// Milliseconds from start() to the next box, blocking in the event loop; a
// negative value when no box came within ms.
double TimeToBox(BoxWatch& dialogs, const std::function<void()>& start, int ms) {
  QEventLoop loop;
  QTimer limit;
  limit.setSingleShot(true);
  bool timedOut = false;
  QObject::connect(&limit, &QTimer::timeout, &loop, [&] {
    timedOut = true;
    loop.quit();
  });
  const std::size_t before = dialogs.boxes.size();
  dialogs.onBox = [&loop] { loop.quit(); };
  QElapsedTimer t;
  t.start();
  limit.start(ms);
  start();
  if (dialogs.boxes.size() == before) loop.exec();
  const double elapsed = static_cast<double>(t.nsecsElapsed()) / 1e6;
  dialogs.onBox = nullptr;
  return timedOut ? -1.0 : elapsed;
}

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
  auto owned = std::make_unique<BoxWatch>();
  BoxWatch* dialogs = owned.get();
  auto previous = kestra::ui::SetDialogs(std::move(owned));
  Figures f;
  {
    TFirmWareUG window;
    window.show();
    if (!WaitFor([&] { return window.SpdBtnDownLoad->isEnabled(); }, 10000)) return false;
    for (int r = 0; r < rounds; ++r) {
      const double upgrade = TimeToBox(
          *dialogs, [&] { window.SpdBtnDownLoad->click(); }, 30000);
      if (upgrade < 0) return false;
      f.upgradeMs.push_back(upgrade);
      const double verify = TimeToBox(
          *dialogs, [&] { window.SpdBtnVerify->click(); }, 30000);
      if (verify < 0) return false;
      f.verifyMs.push_back(verify);
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
