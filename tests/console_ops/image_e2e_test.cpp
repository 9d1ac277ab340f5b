// What reaches the chips is the image the operator loaded: the real window
// offscreen on simulated programmers, in the orders operators use (chip after
// file, chip changed, a read-out that stops, serial numbers on and off).
#include <QCheckBox>
#include <QLabel>
#include <cstring>

#include "ConsoleFixture.h"
#include "companion/KestraRHB.h"
#include "console/ChannelMachine.h"
#include "ui/HexGrid.h"

namespace kestra::console::testing {
namespace {

constexpr int ActiveSemi = 0;

class ImageE2E : public ConsoleFixture {
 protected:
  // Loads bytes from address 0 through the window's load path.
  void LoadBytes(const std::vector<uint8_t>& bytes, const char* name = "file.hex") {
    const QString path = dir.filePath(name);
    WriteIntelHex(path, bytes);
    ASSERT_TRUE(w->LoadObjectFile(path));
  }

  // Runs Auto on every found device and waits until all are idle again.
  void RunAuto() {
    w->ops->AutoSpdBtnClick();
    ASSERT_TRUE(WaitFor([&] { return AllIdle(); }, 120000)) << Dump();
  }

  // Every device's chip holds bytes from address 0.
  void ExpectChipsHold(const std::vector<uint8_t>& bytes) {
    for (int k = 0; k < st.DevicesFound; ++k) {
      SCOPED_TRACE(k);
      const auto flash = Dev(k).Flash();
      ASSERT_GE(flash.size(), bytes.size());
      EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin()));
    }
  }

  // The checksums of the image over the chosen chip's range.
  std::pair<uint16_t, uint16_t> RangeChecksums() const {
    const uint8_t* image = st.ImageBuffer.data();
    return {static_cast<uint16_t>(rhb::GetBinaryCheckSum(image, st.s.ChipStartAddr, st.ChipEndAddr,
                                                         link::ImageBufferSize)),
            static_cast<uint16_t>(rhb::GetTolvexCheckSum(image, st.s.ChipStartAddr, st.ChipEndAddr,
                                                         link::ImageBufferSize))};
  }
};

// A chip chosen after the file, or changed after it, takes the checksums of
// its own range: every chip programmed with the file verifies.
TEST_F(ImageE2E, ChipChosenOrChangedAfterTheLoadVerifies) {
  Start(4);
  struct Case {
    const char* before;  // chip chosen before the load (nullptr: none)
    uint8_t beforeIndex;
    const char* after;
    uint8_t afterIndex;
    std::size_t kb;  // file size
    unsigned seed;
  } cases[] = {
      {nullptr, 0, "PAC5210xx", 0, 32, 21},
      {"PAC5223xx", 3, "PAC5523xx", 10, 128, 22},
  };
  int passed = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.after);
    if (c.before) SelectChip(ActiveSemi, c.before, c.beforeIndex);
    const auto file = Pattern(c.kb * 1024, c.seed);
    LoadBytes(file);
    SelectChip(ActiveSemi, c.after, c.afterIndex);
    EXPECT_EQ(std::make_pair(st.s.ImageSum, st.s.ImageCrc), RangeChecksums());
    RunAuto();
    passed += 4;
    EXPECT_EQ(st.OnlineCounter, passed) << Dump();
    EXPECT_EQ(CountOf("Channel 1 : Chip checksum error!"), 0);
    ExpectChipsHold(file);
  }
  EXPECT_EQ(farm->ViolationCount(), 0);
}

// A read-out that stops at some block leaves the loaded file as it was, the
// checksums and hex view with it, and a later Auto programs the file.
TEST_F(ImageE2E, ReadOutThatStopsKeepsTheLoadedImage) {
  Start(1);
  SelectChip(ActiveSemi, "PAC5223xx", 3);  // 32 KB: blocks at KB 0, 4, .. 28
  const auto file = Pattern(32 * 1024, 23);
  LoadBytes(file);
  Dev(0).SetFlash(std::vector<uint8_t>(32 * 1024, 0x00));
  const uint16_t sum = st.s.ImageSum, crc = st.s.ImageCrc;
  const QString panel0 = w->StatusPanelText(0), panel1 = w->StatusPanelText(1);
  auto& hv = *w->HexViewer;
  const int row = hv.RowOfAddress(0);
  const QString cell = hv.Cell(1, row);
  for (int block : {0, 16, 28}) {
    SCOPED_TRACE(block);
    sim::CommandFault stop;
    stop.failTimes = ReadSendsPerBlock;
    Dev(0).ClearFaults();
    Dev(0).SetCommandFault(sim::DevCmdReadMain, block, stop);
    const int kept = CountOf("Channel 1 : Read out not finished, the image was kept!");
    w->ops->SpeedButtonRDClick();
    ASSERT_TRUE(WaitFor([&] {
      return CountOf("Channel 1 : Read out not finished, the image was kept!") == kept + 1 &&
             AllIdle(1);
    })) << Dump();
    EXPECT_TRUE(std::equal(file.begin(), file.end(), st.ImageBuffer.data()));
    EXPECT_EQ(st.FileLoaded, 1);
    EXPECT_EQ(st.s.ImageSum, sum);
    EXPECT_EQ(st.s.ImageCrc, crc);
    EXPECT_EQ(w->StatusPanelText(0), panel0);
    EXPECT_EQ(w->StatusPanelText(1), panel1);
    EXPECT_EQ(hv.Cell(1, row), cell);
    EXPECT_TRUE(st.ReadOutBytes.empty());
  }
  EXPECT_FALSE(Has("Channel 1 : Data has bee read out!"));
  Dev(0).ClearFaults();
  RunAuto();
  EXPECT_TRUE(Has("Channel 1 : Main Data verify success!")) << Dump();
  ExpectChipsHold(file);
}

// On-line serial numbers reach the chip whole or Auto and Prog do not start.
TEST_F(ImageE2E, OnlineSerialNumberLiesInsideTheChipOrNothingStarts) {
  Start(2);
  SelectChip(ActiveSemi, "PAC5223xx", 3);  // 0 .. 0x7FFF
  const auto file = Pattern(32 * 1024, 24);
  LoadBytes(file);
  w->CheckBoxSN->setChecked(true);
  w->ChkBoxPCSN->setChecked(true);
  w->SNEdit->setText("0x11223344");
  w->EditSNHW->setText("0x55667788");
  struct Case {
    const char* addr;
    bool eight, bigEndian, prog;
    const char* placed;  // the serial's bytes in the chip; nullptr: refused
    const char* range;   // the refusal's address range
  } cases[] = {
      {"0x0000FFF0", false, false, false, nullptr, "0x0000FFF0..0x0000FFF3"},
      {"0x00007FFE", false, false, true, nullptr, "0x00007FFE..0x00008001"},
      {"0x00007FFC", true, true, false, nullptr, "0x00007FFC..0x00008003"},
      {"0x00000100", false, false, false, "44332211", nullptr},
      {"0x00007FF8", true, true, true, "5566778811223344", nullptr},
  };
  int batch = 0;  // the batches that placed serial numbers so far (two devices each)
  for (const auto& c : cases) {
    SCOPED_TRACE(c.addr);
    w->AddrEdit->setText(c.addr);
    w->ChkBoxSNLen->setChecked(c.eight);
    w->SNOrderChk->setChecked(c.bigEndian);
    if (c.placed && c.prog) {  // Prog alone writes over what the chip holds
      w->ops->SpdBtnEraseClick();
      ASSERT_TRUE(WaitFor([&] { return AllIdle(); })) << Dump();
    }
    dialogs->boxes.clear();
    const int verified = CountOf("Channel 1 : Main Data verify success!");
    const int before = Dev(0).TotalPackets() + Dev(1).TotalPackets();
    if (c.prog)
      w->ops->SpdBtnProgClick();
    else
      w->ops->AutoSpdBtnClick();
    if (!c.placed) {
      ASSERT_EQ(dialogs->boxes.size(), 1u);
      const std::string text = dialogs->boxes[0].text.toStdString();
      EXPECT_NE(text.find(c.range), std::string::npos) << text;
      EXPECT_NE(text.find("0x00000000..0x00007FFF"), std::string::npos) << text;
      EXPECT_TRUE(AllIdle());
      EXPECT_FALSE(
          WaitFor([&] { return Dev(0).TotalPackets() + Dev(1).TotalPackets() != before; }, 200));
      EXPECT_TRUE(std::equal(file.begin(), file.end(), st.ImageBuffer.data()));
      continue;
    }
    ASSERT_TRUE(WaitFor([&] { return AllIdle(); }, 120000)) << Dump();
    EXPECT_TRUE(dialogs->boxes.empty());
    // Channel k places the serial number after channel k-1's (the gain is 1):
    // the last byte of the value (first or last in the chip) counts up.
    QByteArray serial = QByteArray::fromHex(c.placed);
    const int low = c.bigEndian ? static_cast<int>(serial.size()) - 1 : 0;
    serial[low] = static_cast<char>(serial[low] + 2 * batch);
    const uint32_t at = std::stoul(c.addr, nullptr, 16);
    for (int k = 0; k < 2; ++k) {
      SCOPED_TRACE(k);
      QByteArray own = serial;
      own[low] = static_cast<char>(own[low] + k);
      const auto flash = Dev(k).Flash();
      EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(flash.data()) + at, own.size()), own);
      EXPECT_EQ(flash[at - 1], file[at - 1]);
    }
    ++batch;
    if (!c.prog) {  // Auto verifies each chip with its own serial number
      EXPECT_EQ(CountOf("Channel 1 : Main Data verify success!"), verified + 1) << Dump();
    }
  }
  EXPECT_EQ(farm->ViolationCount(), 0);
}

}  // namespace
}  // namespace kestra::console::testing
