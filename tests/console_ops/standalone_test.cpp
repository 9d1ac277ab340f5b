// Stand-alone progress packets, production counters, the production log and
// the log file name rule; the chip information display.
#include "console/StandAlone.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstring>

#include "MachineFixture.h"
#include "console/ChipInfoDisplay.h"
#include "ui/ScriptedDialogs.h"

namespace kestra::console::testing {
namespace {

class StandAlone : public MachineFixture {
 protected:
  // Sends the packet with byte 7 fixed so the bytes sum to 0, unless raw.
  void Packet(int ch, uint8_t step, uint8_t result, uint16_t cur, uint16_t max, bool fix = true,
              uint8_t check = 0) {
    uint8_t p[8] = {0xFD,
                    step,
                    result,
                    static_cast<uint8_t>(cur),
                    static_cast<uint8_t>(cur >> 8),
                    static_cast<uint8_t>(max),
                    static_cast<uint8_t>(max >> 8),
                    0};
    uint8_t sum = 0;
    for (int i = 0; i < 7; ++i) sum = static_cast<uint8_t>(sum + p[i]);
    p[7] = fix ? static_cast<uint8_t>(-sum) : check;
    std::memcpy(st.PacketBuf(ch), p, 8);
    HandleProgressPacket(st, ch);
  }
};

TEST_F(StandAlone, ProgrammingStepMovesGaugeAndLogsOnlyAtZero) {
  const uint8_t p[8] = {0xFD, 0x40, 0x06, 0x00, 0x00, 0x10, 0x00, 0xAD};
  std::memcpy(st.PacketBuf(0), p, 8);
  HandleProgressPacket(st, 0);
  EXPECT_EQ(gauges[0]->Progress(), 2);
  EXPECT_EQ(gauges[0]->MaxValue(), 16);
  EXPECT_EQ(Lines().back(), "Channel 1 : Do Main Flash Programming....");
  st.PacketBuf(0)[3] = 1;
  st.PacketBuf(0)[7] = 0xAC;
  HandleProgressPacket(st, 0);
  EXPECT_EQ(gauges[0]->Progress(), 3);
  EXPECT_EQ(memo.Count(), 1);
}

TEST_F(StandAlone, BadSumOrUnknownStepIsIgnored) {
  Packet(1, 0x20, 0, 0, 0, false, 0x00);
  Packet(1, 0x60, 0, 0, 0);
  EXPECT_EQ(memo.Count(), 0);
  EXPECT_EQ(gauges[1]->Progress(), 0);
}

TEST_F(StandAlone, StepTextsDifferOnChannelOne) {
  Packet(0, 0x10, 0, 0, 0);
  Packet(2, 0x10, 0, 0, 0);
  EXPECT_TRUE(Has("Channel 1 : Initial Programming Interface ...."));
  EXPECT_TRUE(Has("Channel 3 : Start Auto-Programming...."));
  EXPECT_EQ(gauges[2]->Progress(), 5);
  EXPECT_EQ(gauges[2]->MaxValue(), 100);
}

TEST_F(StandAlone, FinalStepCountsAndLogsTotals) {
  Packet(1, 0xF0, 6, 0, 0);
  auto l = Lines();
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(l[0], "Channel 2 : Progrmming Completed : Successed!");
  EXPECT_EQ(l[1], "Channel 2 : OK=1, NG=0.");
  EXPECT_EQ(l[2], ">---------- Total OK Number is : 1, NG is 0 ----------");
  EXPECT_EQ(gauges[1]->ForeColor(), ui::GaugeBlue);

  Packet(0, 0xF0, 6, 0, 0);
  EXPECT_TRUE(Has("Channel 1 : Progrmming Completed : Successed !"));

  Packet(1, 0xF0, 0x31, 0, 0);
  l = Lines();
  EXPECT_EQ(l[l.size() - 3], "Channel 2 : Progrmming Completed : ");
  EXPECT_EQ(l[l.size() - 2], "Channel 2 : OK=1, NG=1.");
  EXPECT_EQ(l.back(), ">---------- Total OK Number is : 2, NG is 1 ----------");
  EXPECT_EQ(gauges[1]->ForeColor(), ui::GaugeRed);
  EXPECT_EQ(gauges[1]->Progress(), gauges[1]->MaxValue());
}

TEST_F(StandAlone, ProductionLogOnThe2000thFinalStep) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  st.StartupDir = dir.path().toStdString();
  st.LogSaveCounter = ProductionLogEvery - 2;
  Packet(3, 0xF0, 6, 0, 0);  // the 1999th
  EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
  Packet(2, 0xF0, 0x2C, 0, 0);  // the 2000th
  const QStringList files = QDir(dir.path()).entryList(QDir::Files);
  ASSERT_EQ(files.size(), 1);
  EXPECT_TRUE(files[0].startsWith("RarORi_"));
  EXPECT_TRUE(files[0].endsWith(".log"));
  EXPECT_FALSE(files[0].mid(5).contains(QRegularExpression("[-/:]")));
  EXPECT_EQ(st.LogSaveCounter, 0u);
  QFile f(dir.filePath(files[0]));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_TRUE(f.readAll().contains("Total OK Number is : 1, NG is 1"));
}

TEST_F(StandAlone, FailedProductionLogWriteIsReported) {
  auto dialogs = std::make_unique<ui::ScriptedDialogs>();
  auto* boxes = dialogs.get();
  auto previous = ui::SetDialogs(std::move(dialogs));
  st.StartupDir = "/nonexistent-kestra-dir";
  st.LogSaveCounter = ProductionLogEvery - 1;
  LogProductionTotals(st);
  ASSERT_EQ(boxes->boxes.size(), 1u);
  EXPECT_EQ(boxes->boxes[0].kind, ui::ScriptedDialogs::Box::Error);
  ui::SetDialogs(std::move(previous));
  const std::string said = Lines().back();
  EXPECT_EQ(said.rfind("Cannot create file \"/nonexistent-kestra-dir/RarORi_", 0), 0u) << said;
  EXPECT_TRUE(said.ends_with(".log\". Its lines are kept for the next log file.")) << said;

  // The next production log holds the lines the failed one could not.
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  st.StartupDir = dir.path().toStdString();
  Packet(0, 0x20, 0, 0, 0);
  st.LogSaveCounter = ProductionLogEvery - 1;
  LogProductionTotals(st);
  const QStringList files = QDir(dir.path()).entryList(QDir::Files);
  ASSERT_EQ(files.size(), 1);
  QFile f(dir.filePath(files[0]));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  QStringList saved = QString::fromUtf8(f.readAll()).split('\n');
  EXPECT_EQ(saved.takeLast(), "");
  EXPECT_EQ(saved, memo.Lines());
  EXPECT_EQ(saved.size(), 4);  // both totals lines, the failure and the step between
  EXPECT_TRUE(memo.UnsavedText().isEmpty());
}

TEST(LogFileNames, SeparatorsFromTheSeventhCharacterBecomeUnderscores) {
  struct Case {
    const char* prefix;
    const char* date;
    const char* time;
    const char* name;
  };
  const Case cases[] = {
      {"\\EPS_", "04/05/24", "13:45:10", "\\EPS_04_05_24_13_45_10"},
      {"\\EPS_", "2024-05-04", "1:45:10 PM", "\\EPS_2024_05_04_1_45_10 PM"},
      {"\\RarORi_", "-04.05.2024", "13:45", "\\RarORi__04.05.2024_13_45"},
      {"\\EPS_", "", "", "\\EPS__"},
  };
  for (const Case& c : cases) EXPECT_EQ(LogFileName(c.prefix, c.date, c.time), c.name);
}

TEST(LogFileNames, LeadingBackslashIsTheFolderSeparator) {
  EXPECT_EQ(LogFilePath("/home/op", "\\EPS_1_2"), "/home/op/EPS_1_2.log");
  EXPECT_EQ(LogFilePath("/", "\\EPS_1_2"), "/EPS_1_2.log");
}

class ChipInfo : public MachineFixture {};

TEST_F(ChipInfo, ApolloLayoutOnChannelsTwoAndFour) {
  for (int ch : {1, 3}) {
    uint8_t* r = st.PacketBuf(ch);
    for (int i = 0; i < 256; ++i) r[8 + i] = static_cast<uint8_t>(0xA0 + i);
    for (int i = 0; i < 8; ++i) r[12 + i] = static_cast<uint8_t>(i + 1);
  }
  ShowChipInfoMemory(st, 2);
  auto l = Lines();
  ASSERT_EQ(l.size(), 20u);
  EXPECT_EQ(l[0], "");
  EXPECT_EQ(l[1], "     Read Chip 2 UID : 01 02 03 04 05 06 07 08 ");
  EXPECT_EQ(l[2], "");
  EXPECT_EQ(l[3], " Read Chip 2 Information Memory Is Below : ");
  EXPECT_EQ(l[4], "  0x40020000 : A0 A1 A2 A3 01 02 03 04 05 06 07 08 AC AD AE AF ");
  EXPECT_EQ(l[19].substr(0, 16), "  0x400200F0 : 9");

  memo.Clear();
  ShowChipInfoMemory(st, 4);
  l = Lines();
  ASSERT_EQ(l.size(), 18u);
  EXPECT_EQ(l[0], "     Read Chip 4 UID : 01 02 03 04 05 06 07 08 ");
  EXPECT_EQ(l[1], " Read Chip 4 Information Memory Is Below : ");
}

TEST_F(ChipInfo, ActiveSemiLayout) {
  uint8_t* r = st.PacketBuf(3);
  for (int i = 0; i < 12; ++i) r[8 + i] = static_cast<uint8_t>(0xC0 + i);
  r[8 + 0x400] = 0x12;
  r[8 + 0x47F] = 0x34;
  r[8 + 0x800] = 0xAA;
  r[8 + 0x82F] = 0xBB;
  r[2120] = 0x0F;
  r[2121] = 0xA5;
  ShowChipSecurity(st, 4);
  const auto l = Lines();
  ASSERT_EQ(l.size(), 13u);
  EXPECT_EQ(l[0], "  Read Chip 4 UID : C0 C1 C2 C3 C4 C5 C6 C7 C8 C9 CA CB ");
  EXPECT_EQ(l[1].substr(0, 20), "  0x00100400: 12 00 ");
  EXPECT_EQ(l[8].substr(0, 14), "  0x00100470: ");
  EXPECT_EQ(l[8].substr(l[8].size() - 3), "34 ");
  EXPECT_EQ(l[9].substr(0, 16), "  RMASK Is : AA ");
  EXPECT_EQ(l[10].substr(l[10].size() - 3), "BB ");
  EXPECT_EQ(l[11], "  IMAKS=0x0F, SECLEVEL=0xA5.");
  EXPECT_EQ(l[12], "");
}

}  // namespace
}  // namespace kestra::console::testing
