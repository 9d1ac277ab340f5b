#include "console/StandAlone.h"

#include <QString>

#include "console/ChannelProgress.h"
#include "platform/LocalTime.h"
#include "ui/Dialogs.h"
#include "ui/Gauge.h"
#include "ui/Memo.h"

namespace kestra::console {

namespace {

constexpr uint8_t StepFinal = 0xF0;
constexpr uint8_t FinalGood = 6;

struct StepRow {
  uint8_t code;
  const char* textCh1;
  const char* textOthers;
  bool blue;
  bool counted;  // progress from the packet, logged only at current 0
};

// Progress steps of a stand-alone programming cycle; the counted steps take
// their progress from the packet, the others show half a bar.
constexpr StepRow Steps[] = {
    {0x10, "Initial Programming Interface ....", "Start Auto-Programming....", true, false},
    {0x20, "Chip Blank Checking....", "Chip Blank Checking....", false, false},
    {0x30, "Do Chip Erasing....", "Do Chip Erasing....", false, false},
    {0x40, "Do Main Flash Programming....", "Do Main Flash Programming....", true, true},
    {0x50, "Do EEP Data Programming....", "Do EEP Data Programming....", false, true},
    {0x70, "Do Main Flash Verification....", "Do Main Flash Verification....", true, false},
    {0x80, "Do EEP Data Verification....", "Do EEP Data Verification....", false, false},
    {0xA0, "Do Chip Lock Data Programming....", "Do Chip Lock Data Programming....", false, false},
};

void GaugeFull(ui::TGauge* g) {
  if (g) g->SetProgress(g->MaxValue());
}

}  // namespace

void HandleProgressPacket(ConsoleState& st, int ch) {
  const uint8_t* p = st.PacketBuf(ch);
  uint8_t sum = 0;
  for (int i = 0; i < 8; ++i) sum = static_cast<uint8_t>(sum + p[i]);
  if (sum != 0) return;

  const int current = p[3] | (p[4] << 8);
  const int maximum = p[5] | (p[6] << 8);
  const uint8_t result = p[2];
  const uint8_t step = p[1];
  ui::TGauge* g = st.ChannelGauge[ch];

  if (step == StepFinal) {
    std::string text = "Progrmming Completed : ";
    if (result == FinalGood) {
      text += ch == 0 ? "Successed !" : "Successed!";
      ++st.ChannelOkCount[ch];
      ++st.TotalOkCount;
      GaugeFull(g);
      if (g) g->SetForeColor(ui::GaugeBlue);
    } else {
      ++st.ChannelNgCount[ch];
      ++st.TotalNgCount;
      if (g) g->SetForeColor(ui::GaugeRed);
      GaugeFull(g);
    }
    AddChannelLog(st, ch, text);
    AddChannelLog(st, ch,
                  "OK=" + std::to_string(st.ChannelOkCount[ch]) +
                      ", NG=" + std::to_string(st.ChannelNgCount[ch]) + ".");
    LogProductionTotals(st);
    GaugeFull(g);
    return;
  }

  for (const StepRow& row : Steps) {
    if (row.code != step) continue;
    if (g) {
      g->SetProgress(row.counted ? current + 2 : (step == 0x10 ? 5 : 50));
      g->SetMaxValue(row.counted ? maximum : 100);
      if (row.blue) g->SetForeColor(ui::GaugeBlue);
    }
    if (!row.counted || current == 0) AddChannelLog(st, ch, ch == 0 ? row.textCh1 : row.textOthers);
    return;
  }
}

void LogProductionTotals(ConsoleState& st) {
  ++st.LogSaveCounter;
  AddMemoLine(st, ">---------- Total OK Number is : " + std::to_string(st.TotalOkCount) +
                      ", NG is " + std::to_string(st.TotalNgCount) + " ----------");
  if (st.LogSaveCounter < ProductionLogEvery) return;
  st.LogSaveCounter = 0;
  const std::string name =
      LogFileName("\\RarORi_", platform::ShortDateText(), platform::LongTimeText());
  SaveMemoLog(st, LogFilePath(st.StartupDir, name));
}

std::string LogFileName(const std::string& Prefix, const std::string& Date,
                        const std::string& Time) {
  std::string name = Prefix + Date + "_" + Time;
  for (std::size_t i = 6; i < name.size(); ++i)
    if (name[i] == '-' || name[i] == '/' || name[i] == ':') name[i] = '_';
  return name;
}

std::string LogFilePath(const std::string& StartupDir, const std::string& Name) {
  std::string name = Name;
  if (!name.empty() && name[0] == '\\') name[0] = '/';
  if (!StartupDir.empty() && StartupDir.back() == '/' && !name.empty() && name[0] == '/')
    name.erase(0, 1);
  return StartupDir + name + ".log";
}

bool SaveMemoLog(ConsoleState& st, const std::string& Path) {
  if (!st.InfoMemoRef) return false;
  if (st.InfoMemoRef->SaveUnsavedLines(QString::fromStdString(Path))) return true;
  const std::string message = "Cannot create file \"" + Path + "\".";
  ui::Dialogs().ErrorBox(nullptr, "Error", QString::fromStdString(message));
  LogInfo(st, message + " Its lines are kept for the next log file.");
  return false;
}

}  // namespace kestra::console
