#include "console/ChipSelect.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstring>

#include "console/MainWindow.h"
#include "ui/Dialogs.h"

namespace kestra::console {

namespace {

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

void EpsonRule(PendingChip& p) {
  p.FlashKB = p.Index == 1 ? 512 : 256;
  p.SectorSize = 4096;
  p.InfoSize = 0;
  p.InfoStart = 0;
}

void ApolloRule(const std::string& name, PendingChip& p) {
  struct Prefix {
    const char* text;
    uint16_t kb;
  };
  static constexpr Prefix prefixes[] = {{"AMA3B1KK-KBR", 976},  {"AMA3B1KK-KCR", 976},
                                        {"AMA3B2KK-KBR", 2048}, {"APOLLO512", 512},
                                        {"APOLLO256", 256},     {"APOLLO128", 128}};
  p.FlashKB = 64;
  for (const auto& pre : prefixes) {
    if (StartsWith(name, pre.text)) {
      p.FlashKB = pre.kb;
      break;
    }
  }
  p.SectorSize = 1024;
  p.InfoSize = p.FlashKB < 768 ? 2048 : 8192;
  p.InfoStart = 0x50020000;
}

void ActiveSemiRule(const std::string& name, PendingChip& p) {
  if (StartsWith(name, "PAC55")) {
    p.Family = 16;
    p.FlashKB = 128;
    p.InfoStart = 0x100800;
  } else {
    p.Family = 0;
    p.FlashKB = 32;
    p.InfoStart = 0;
  }
  p.InfoSize = 0;
  p.SectorSize = 1024;
}

}  // namespace

void ApplyChipRule(int seriesIndex, const std::string& name, PendingChip& p) {
  if (seriesIndex == 0)
    ActiveSemiRule(name, p);
  else if (seriesIndex == 1)
    EpsonRule(p);
  else
    ApolloRule(name, p);
  p.FlashKBCopy = p.FlashKB;
}

void CommitChip(ConsoleState& st, const PendingChip& p, const std::string& name) {
  auto& s = st.s;
  st.ChipSelected = 1;
  s.IsApollo3 = 0;
  s.ChipSeries = p.Series;
  s.ChipFamily = p.Family;
  s.ChipIndex = p.Index;
  s.FlashSizeKB = p.FlashKB;
  s.SectorSize = p.SectorSize;
  s.FlashSizeKBCopy = p.FlashKBCopy;
  s.InfoMemSize = p.InfoSize;
  s.InfoMemStart = p.InfoStart;
  st.ChipName = name;
}

void SetupChipOptions(ConsoleState& st, TProgramArmFrm& frm) {
  auto& s = st.s;
  // Every series. Unticking the lock option raises its handler (advice box).
  frm.ChkBoxShutPow->setChecked(true);
  frm.ProtectChip1->setVisible(false);
  frm.ChkBoxProt->setChecked(false);
  frm.ReadChipInfoMemory1->setVisible(true);
  if (s.ChipSeries == '5') {
    s.ChipStartAddr = 0;
    frm.ComBoxSpdCLK->setCurrentIndex(0);
    frm.ChkBoxProt->setVisible(false);
  } else if (s.ChipSeries == '7') {
    s.SeriesBaseAddr = 0x100000;
    s.ChipStartAddr = 0;
    frm.ComBoxSpdCLK->setCurrentIndex(0);
    frm.ProtectChip1->setVisible(true);
    frm.ChkBoxProt->setVisible(s.ChipFamily == 16);
    frm.ReadChipInfoMemory1->setVisible(true);
    std::memset(st.ProtectConfig.get(), 0xFF, 1024);
  } else {
    frm.ChkBoxShutPow->setChecked(false);
    frm.ComBoxSpdCLK->setCurrentIndex(1);
    frm.ChkBoxProt->setVisible(false);
    const int eep = frm.ViewPageCtrl->indexOf(frm.TabSheetEep);
    frm.ViewPageCtrl->setTabText(eep, QStringLiteral("Info Memory"));
    s.IsApollo3 =
        (StartsWith(st.ChipName, "AMA3B1KK") || StartsWith(st.ChipName, "AMA3B2KK")) ? 1 : 0;
    s.ChipStartAddr = StartsWith(st.ChipName, "AMA3B1KK") ? 0xC000 : 0;
  }
}

TChipSelectForm::TChipSelectForm(ConsoleState& st, TProgramArmFrm* frm) : st_(st), frm_(frm) {
  setWindowTitle(QStringLiteral("Chip Selection Dialog"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setModal(true);

  ListBoxSeries = new QListWidget(this);
  ListBoxChips = new QListWidget(this);
  EditSelChip = new QLineEdit(this);
  EditSelChip->setReadOnly(true);
  ChipInfoGroup = new QGroupBox(QStringLiteral("Chip Info"), this);
  EditROM = new QLineEdit(QStringLiteral("4 KB"), ChipInfoGroup);
  EditROM->setReadOnly(true);
  LabelEep = new QLabel(QStringLiteral("EEP Memory:  "), ChipInfoGroup);
  EditEep = new QLineEdit(QStringLiteral("512 Bytes"), ChipInfoGroup);
  LabelEep->hide();
  EditEep->hide();
  BitBtnOK = new QPushButton(QStringLiteral("OK"), this);
  BitBtnOK->setDefault(true);
  BitBtnCancel = new QPushButton(QStringLiteral("Cancel"), this);

  auto* info = new QGridLayout(ChipInfoGroup);
  info->addWidget(new QLabel(QStringLiteral("Flash Size:  "), ChipInfoGroup), 0, 0);
  info->addWidget(EditROM, 0, 1);
  info->addWidget(LabelEep, 1, 0);
  info->addWidget(EditEep, 1, 1);

  auto* lists = new QGridLayout;
  lists->addWidget(new QLabel(QStringLiteral("Chip Series Select:   "), this), 0, 0);
  lists->addWidget(new QLabel(QStringLiteral("Chip Type Select:   "), this), 0, 1);
  lists->addWidget(ListBoxSeries, 1, 0);
  lists->addWidget(ListBoxChips, 1, 1);
  ListBoxSeries->setFixedSize(170, 90);
  ListBoxChips->setFixedSize(170, 230);
  lists->setAlignment(ListBoxSeries, Qt::AlignTop);

  auto* selected = new QHBoxLayout;
  selected->addWidget(new QLabel(QStringLiteral("Chip Selected: "), this));
  selected->addWidget(EditSelChip);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(BitBtnOK);
  buttons->addWidget(BitBtnCancel);

  auto* top = new QVBoxLayout(this);
  top->addLayout(lists);
  top->addLayout(selected);
  top->addWidget(ChipInfoGroup);
  top->addLayout(buttons);
  top->setSizeConstraint(QLayout::SetFixedSize);

  connect(ListBoxSeries, &QListWidget::currentRowChanged, this, [this] {
    if (!filling_) ui::Guard(this, [this] { ListBoxSeriesClick(); });
  });
  connect(ListBoxChips, &QListWidget::currentRowChanged, this, [this] {
    if (!filling_) ui::Guard(this, [this] { ListBoxChipsClick(); });
  });
  connect(BitBtnOK, &QPushButton::clicked, this, [this] {
    ui::Guard(this, [this] { BitBtnOKClick(); });
    accept();
  });
  connect(BitBtnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TChipSelectForm::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (frm_) move(frm_->geometry().center() - rect().center());
}

void TChipSelectForm::FormShow() {
  filling_ = true;
  ListBoxSeries->clear();
  for (const auto& series : ChipSeriesList) ListBoxSeries->addItem(QString::fromUtf8(series.Text));
  ListBoxSeries->setCurrentRow(0);
  filling_ = false;
  ListBoxSeriesClick();
  ListBoxChipsClick();
}

void TChipSelectForm::ListBoxSeriesClick() {
  const int i = ListBoxSeries->currentRow();
  if (i == 0)
    FillActiveSemiList();
  else if (i == 1)
    FillEpsonList();
  else
    FillApolloList();
  ListBoxChipsClick();
}

void TChipSelectForm::FillList(int seriesIndex) {
  const ChipSeriesEntry& series = ChipSeriesList[seriesIndex];
  pending_.Series = series.Series;
  pending_.Family = 0;
  filling_ = true;
  ListBoxChips->clear();
  for (int i = 0; i < series.Count; ++i) ListBoxChips->addItem(QString::fromUtf8(series.Names[i]));
  ListBoxChips->setCurrentRow(0);
  filling_ = false;
  EditSelChip->setText(ListBoxChips->item(0)->text());
}

void TChipSelectForm::FillActiveSemiList() { FillList(0); }
void TChipSelectForm::FillEpsonList() { FillList(1); }
void TChipSelectForm::FillApolloList() { FillList(2); }

void TChipSelectForm::ListBoxChipsClick() {
  const int row = ListBoxChips->currentRow();
  pending_.Index = static_cast<uint8_t>(row);
  if (row >= 0) EditSelChip->setText(ListBoxChips->item(row)->text());
  ApplyChipRule(ListBoxSeries->currentRow(), EditSelChip->text().toStdString(), pending_);
  EditROM->setText(QStringLiteral("%1 KB").arg(pending_.FlashKB));
}

void TChipSelectForm::BitBtnOKClick() {
  CommitChip(st_, pending_, EditSelChip->text().toStdString());
  if (!frm_) return;
  const QString name = QString::fromStdString(st_.ChipName);
  if (frm_->MCUNameEdit->text() == name) {
    // The same chip again: the edit does not change, so run the chip-change
    // steps here; otherwise IsApollo3 would stay 0 for an AMA3B chip.
    frm_->MCUNameEditChange();
  } else {
    frm_->MCUNameEdit->setText(name);
  }
}

}  // namespace kestra::console
