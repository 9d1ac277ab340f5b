// The chip catalogue, its parameter rules, the chip selection dialog and the
// adaptation of the main window's options to the chosen series.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

#include "console/ConsoleState.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QGroupBox;

namespace kestra::console {

class TProgramArmFrm;

// One chip series as the dialog lists it.
struct ChipSeriesEntry {
  const char* Text;  // list item text
  char Series;       // ChipSeries character
  const char* const* Names;
  int Count;
};

inline constexpr const char* ActiveSemiChips[] = {
    "PAC5210xx", "PAC5220xx", "PAC5222xx", "PAC5223xx", "PAC5225xx", "PAC5232xx", "PAC5250xx",
    "PAC5253xx", "PAC5255xx", "PAC5256xx", "PAC5523xx", "PAC5532xx", "PAC52680xx"};
inline constexpr const char* EpsonChips[] = {"S1C31D01xx", "S1C31W74xx"};
inline constexpr const char* ApolloChips[] = {"APOLLO512-KCR", "APOLLO512-KBR", "APOLLO256-KCR",
                                              "APOLLO256-KBR", "APOLLO128-KCR", "APOLLO128-KBR",
                                              "APOLLO064-KCR", "APOLLO064-KBR", "AMA3B1KK-KBR",
                                              "AMA3B1KK-KCR",  "AMA3B2KK-KBR"};

// In the order of ListBoxSeries.
inline constexpr ChipSeriesEntry ChipSeriesList[] = {
    {"Active-Semi Chips", '7', ActiveSemiChips, 13},
    {"EPSON ARM Chips", '5', EpsonChips, 2},
    {"APOLLO ARM Chips", '6', ApolloChips, 11},
};
inline constexpr int ChipSeriesCount = 3;

// The dialog's choice until OK commits it.
struct PendingChip {
  char Series = 0;
  uint8_t Family = 0;
  uint8_t Index = 0;
  uint16_t FlashKB = 0;
  uint16_t SectorSize = 0;
  uint16_t FlashKBCopy = 0;
  uint16_t InfoSize = 0;
  uint32_t InfoStart = 0;
};

// The parameter rule of a series list index (0 Active-Semi, 1 EPSON, any
// other Apollo) applied to a chip name; Index must be set already (the EPSON
// rule reads it).
void ApplyChipRule(int seriesIndex, const std::string& name, PendingChip& p);

// Commits a choice into the chip parameters as the dialog's OK does
// (ChipSelected := 1, IsApollo3 := 0, the pending values, ChipName); the
// main window's chip name edit is the caller's.
void CommitChip(ConsoleState& st, const PendingChip& p, const std::string& name);

// Adapts the main window's option controls and some chip parameters to the
// chosen series (reads ChipSeries, ChipFamily and ChipName).
void SetupChipOptions(ConsoleState& st, TProgramArmFrm& frm);

class TChipSelectForm : public QDialog {
  Q_OBJECT
 public:
  // frm: the main window whose MCUNameEdit receives the chosen name; the
  // dialog is centred on it when shown.
  TChipSelectForm(ConsoleState& st, TProgramArmFrm* frm);

  void FormShow();
  void ListBoxSeriesClick();
  void FillActiveSemiList();
  void FillEpsonList();
  void FillApolloList();
  void ListBoxChipsClick();
  void BitBtnOKClick();

  const PendingChip& Pending() const { return pending_; }

  QListWidget* ListBoxSeries = nullptr;
  QListWidget* ListBoxChips = nullptr;
  QLineEdit* EditSelChip = nullptr;
  QGroupBox* ChipInfoGroup = nullptr;
  QLineEdit* EditROM = nullptr;
  QLabel* LabelEep = nullptr;
  QLineEdit* EditEep = nullptr;
  QPushButton* BitBtnOK = nullptr;
  QPushButton* BitBtnCancel = nullptr;

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  void FillList(int seriesIndex);

  ConsoleState& st_;
  TProgramArmFrm* frm_;
  PendingChip pending_;
  bool filling_ = false;
};

}  // namespace kestra::console
