// The chip catalogue through the chip button and dialog, with its effects on
// the main window's controls.
#include <QAction>
#include <QTabWidget>
#include <cstring>

#include "ConsoleFixture.h"

namespace kestra::console::testing {
namespace {

struct ChipRow {
  int series;  // ListBoxSeries index
  int index;
  const char* name;
  char chipSeries;
  uint8_t family;
  uint16_t flashKB, sector, infoSize;
  uint32_t infoStart, startAddr, endAddr;
  uint8_t apollo3;
};

constexpr ChipRow Catalogue[] = {
    {0, 0, "PAC5210xx", '7', 0, 32, 1024, 0, 0, 0, 0x7FFF, 0},
    {0, 1, "PAC5220xx", '7', 0, 32, 1024, 0, 0, 0, 0x7FFF, 0},
    {0, 2, "PAC5222xx", '7', 0, 32, 1024, 0, 0, 0, 0x7FFF, 0},
    {0, 3, "PAC5223xx", '7', 0, 32, 1024, 0, 0, 0, 0x7FFF, 0},
    {0, 4, "PAC5225xx", '7', 0, 32, 1024, 0, 0, 0, 0x7FFF, 0},
    {0, 5, "PAC5232xx", '7', 0, 32, 1024, 0, 0, 0, 0x7FFF, 0},
    {0, 6, "PAC5250xx", '7', 0, 32, 1024, 0, 0, 0, 0x7FFF, 0},
    {0, 7, "PAC5253xx", '7', 0, 32, 1024, 0, 0, 0, 0x7FFF, 0},
    {0, 8, "PAC5255xx", '7', 0, 32, 1024, 0, 0, 0, 0x7FFF, 0},
    {0, 9, "PAC5256xx", '7', 0, 32, 1024, 0, 0, 0, 0x7FFF, 0},
    {0, 10, "PAC5523xx", '7', 16, 128, 1024, 0, 0x100800, 0, 0x1FFFF, 0},
    {0, 11, "PAC5532xx", '7', 16, 128, 1024, 0, 0x100800, 0, 0x1FFFF, 0},
    {0, 12, "PAC52680xx", '7', 0, 32, 1024, 0, 0, 0, 0x7FFF, 0},
    {1, 0, "S1C31D01xx", '5', 0, 256, 4096, 0, 0, 0, 0x3FFFF, 0},
    {1, 1, "S1C31W74xx", '5', 0, 512, 4096, 0, 0, 0, 0x7FFFF, 0},
    {2, 0, "APOLLO512-KCR", '6', 0, 512, 1024, 2048, 0x50020000, 0, 0x7FFFF, 0},
    {2, 1, "APOLLO512-KBR", '6', 0, 512, 1024, 2048, 0x50020000, 0, 0x7FFFF, 0},
    {2, 2, "APOLLO256-KCR", '6', 0, 256, 1024, 2048, 0x50020000, 0, 0x3FFFF, 0},
    {2, 3, "APOLLO256-KBR", '6', 0, 256, 1024, 2048, 0x50020000, 0, 0x3FFFF, 0},
    {2, 4, "APOLLO128-KCR", '6', 0, 128, 1024, 2048, 0x50020000, 0, 0x1FFFF, 0},
    {2, 5, "APOLLO128-KBR", '6', 0, 128, 1024, 2048, 0x50020000, 0, 0x1FFFF, 0},
    {2, 6, "APOLLO064-KCR", '6', 0, 64, 1024, 2048, 0x50020000, 0, 0xFFFF, 0},
    {2, 7, "APOLLO064-KBR", '6', 0, 64, 1024, 2048, 0x50020000, 0, 0xFFFF, 0},
    {2, 8, "AMA3B1KK-KBR", '6', 0, 976, 1024, 8192, 0x50020000, 0xC000, 0xFFFFF, 1},
    {2, 9, "AMA3B1KK-KCR", '6', 0, 976, 1024, 8192, 0x50020000, 0xC000, 0xFFFFF, 1},
    {2, 10, "AMA3B2KK-KBR", '6', 0, 2048, 1024, 8192, 0x50020000, 0, 0x1FFFFF, 1},
};

class ChipCatalogueTest : public ConsoleFixture, public ::testing::WithParamInterface<ChipRow> {};

TEST_P(ChipCatalogueTest, ChoosingTheChipSetsItsRowAndTheControls) {
  const ChipRow& c = GetParam();
  std::memset(st().ProtectConfig.get(), 0x11, link::ProtectConfigSize);
  frm().ComBoxSpdCLK->setCurrentIndex(4);
  ChooseChip(c.series, c.index);

  const auto& s = st().s;
  EXPECT_EQ(st().ChipName, c.name);
  EXPECT_EQ(frm().MCUNameEdit->text().toStdString(), c.name);
  EXPECT_EQ(st().ChipSelected, 1);
  EXPECT_EQ(s.ChipSeries, c.chipSeries);
  EXPECT_EQ(s.ChipIndex, c.index);
  EXPECT_EQ(s.ChipFamily, c.family);
  EXPECT_EQ(s.FlashSizeKB, c.flashKB);
  EXPECT_EQ(s.FlashSizeKBCopy, c.flashKB);
  EXPECT_EQ(s.SectorSize, c.sector);
  EXPECT_EQ(s.InfoMemSize, c.infoSize);
  EXPECT_EQ(s.InfoMemStart, c.infoStart);
  EXPECT_EQ(s.ChipStartAddr, c.startAddr);
  EXPECT_EQ(st().ChipEndAddr, c.endAddr);
  EXPECT_EQ(st().ImageBaseAddr, c.startAddr);
  EXPECT_EQ(s.IsApollo3, c.apollo3);
  EXPECT_EQ(chipForm().EditROM->text(), QString("%1 KB").arg(c.flashKB));

  // Option controls.
  const bool apollo = c.chipSeries == '6';
  EXPECT_EQ(frm().ComBoxSpdCLK->currentIndex(), apollo ? 1 : 0);
  EXPECT_EQ(frm().ChkBoxShutPow->isChecked(), !apollo);
  EXPECT_FALSE(frm().ChkBoxProt->isChecked());
  EXPECT_EQ(!frm().ChkBoxProt->isHidden(), c.family == 16);
  EXPECT_EQ(frm().ProtectChip1->isVisible(), c.chipSeries == '7');
  EXPECT_TRUE(frm().ReadChipInfoMemory1->isVisible());
  const bool info = c.infoSize != 0;
  EXPECT_EQ(!frm().ChkBoxEep->isHidden(), info);
  EXPECT_EQ(frm().WriteChipEepData1->isVisible(), info);
  EXPECT_EQ(frm().ReadChipEepData1->isVisible(), info);
  EXPECT_EQ(frm().TabSheetEepVisible(), info);
  const int eep = frm().ViewPageCtrl->indexOf(frm().TabSheetEep);
  EXPECT_EQ(frm().ViewPageCtrl->tabText(eep), apollo ? "Info Memory" : "OTP Data");
  EXPECT_EQ(s.SeriesBaseAddr, c.chipSeries == '7' ? 0x100000u : 0u);
  const uint8_t fill = c.chipSeries == '7' ? 0xFF : 0x11;
  EXPECT_EQ(st().ProtectConfig[0], fill);
  EXPECT_EQ(st().ProtectConfig[1023], fill);
  EXPECT_EQ(st().ProtectConfig[1024], 0x11);

  EXPECT_TRUE(MemoHas(QString("Chip \"%1\" is selectd").arg(c.name)));
  EXPECT_TRUE(MemoHas(QString("Flash Size=%1KB, EEP Byte=%2B ").arg(c.flashKB).arg(c.infoSize)));
  EXPECT_TRUE(dialogs->boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(AllChips, ChipCatalogueTest, ::testing::ValuesIn(Catalogue),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           for (char& ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

using ChipSelectTest = ConsoleFixture;

TEST_F(ChipSelectTest, DialogOpensOnTheFirstActiveSemiChip) {
  dialogs->onModal = [](QDialog& d) {
    dynamic_cast<TChipSelectForm&>(d).BitBtnOK->click();
    return int(QDialog::Accepted);
  };
  frm().DevButtonClick();
  EXPECT_EQ(st().ChipName, "PAC5210xx");
  EXPECT_EQ(st().s.ChipSeries, '7');
  EXPECT_EQ(st().s.FlashSizeKB, 32);
  EXPECT_EQ(chipForm().EditROM->text(), "32 KB");
  EXPECT_EQ(chipForm().ListBoxSeries->count(), 3);
  EXPECT_EQ(chipForm().ListBoxSeries->item(2)->text(), "APOLLO ARM Chips");
}

TEST_F(ChipSelectTest, CancelCommitsNothing) {
  dialogs->onModal = [](QDialog& d) {
    auto& form = dynamic_cast<TChipSelectForm&>(d);
    form.ListBoxSeries->setCurrentRow(1);
    form.BitBtnCancel->click();
    return int(QDialog::Rejected);
  };
  frm().DevButtonClick();
  EXPECT_EQ(st().ChipSelected, 0);
  EXPECT_EQ(st().s.ChipSeries, 0);
  EXPECT_EQ(frm().MCUNameEdit->text(), "Please select chip type...");
}

TEST_F(ChipSelectTest, SameChipAgainRerunsTheChipChange) {
  ChooseChip(2, 8);  // AMA3B1KK-KBR
  frm().ChkBoxShutPow->setChecked(true);
  frm().ComBoxSpdCLK->setCurrentIndex(5);
  ChooseChip(2, 8);
  EXPECT_EQ(st().s.IsApollo3, 1);
  EXPECT_EQ(st().s.ChipStartAddr, 0xC000u);
  EXPECT_EQ(st().ChipEndAddr, 0xFFFFFu);
  EXPECT_FALSE(frm().ChkBoxShutPow->isChecked());
  EXPECT_EQ(frm().ComBoxSpdCLK->currentIndex(), 1);
  EXPECT_EQ(MemoCount("Chip \"AMA3B1KK-KBR\" is selectd"), 2);
}

TEST_F(ChipSelectTest, ApolloThenEpsonKeepsTheCaptionAndHidesTheTab) {
  ChooseChip(2, 0);
  ChooseChip(1, 1);
  const int eep = frm().ViewPageCtrl->indexOf(frm().TabSheetEep);
  EXPECT_EQ(frm().ViewPageCtrl->tabText(eep), "Info Memory");
  EXPECT_FALSE(frm().TabSheetEepVisible());
  EXPECT_EQ(frm().ComBoxSpdCLK->currentIndex(), 0);
  EXPECT_EQ(st().s.IsApollo3, 0);
}

TEST_F(ChipSelectTest, UntickingTheLockOptionByAChipShowsTheAdvice) {
  ChooseChip(0, 11);  // PAC5532xx shows the option
  frm().ChkBoxProt->setChecked(true);
  EXPECT_TRUE(dialogs->boxes.empty());
  ChooseChip(0, 10);
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(dialogs->boxes[0].text, "For Mass Product, We sugest to Protect/LOCK the Chip!");
}

}  // namespace
}  // namespace kestra::console::testing
