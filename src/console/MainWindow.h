// The console's main window, TProgramArmFrm: its controls (tool bar, menus,
// the chip and option controls, log, gauges, status bar, hex views) and the
// four serial components of the channels; the start-up sequence; the option
// and serial-number handlers and CollectSettings; the chip change; the image
// and info data files with their summary, checksums and views. The runtime
// and the chip commands are ConsoleOperations' (member ops), to which the
// window forwards their handlers. Also ConsoleProgram: the console's four
// forms on one state, as program main creates them.
//
// The window works on a ConsoleState that its creator owns and that outlives
// it (program main and the tests each build their own), so every test can
// build a fresh console; the window leaves the state no reference into it
// when it goes.
#pragma once

#include <QMainWindow>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "console/ConsoleState.h"

class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QRadioButton;
class QSpinBox;
class QTabWidget;
class QTimer;
class QToolButton;
class QPushButton;
class QWidget;

namespace kestra::serial {
class TComm;
}
namespace kestra::ui {
class TGauge;
class TMemo;
class THexGrid;
class TSortedComboBox;
class KeyPreview;
}  // namespace kestra::ui

namespace kestra::console {

class ConsoleOperations;
class TAboutForm;
class TChipSelectForm;
class TFormOfsAddr;

// File dialog filters of the load and save commands.
inline constexpr const char* OpenDialogFilter =
    "All Files (*.*)|*.*|All Binary Files (*.Bin)|*.Bin|All Intel Hex Files (*.Hex)|*.Hex|All "
    "Motorola Hex Files(*.S19,*.Sxx)|*.S19;*.Sx|All Hex/Binary Files "
    "(*.Hex,*.S1*,*.Bin)|*.Hex;*.S1*;*.Bin";
inline constexpr int OpenDialogFilterIndex = 5;
inline constexpr const char* SaveDialogFilter = "All Binary Files(*.BIN)|*.BIN";
inline constexpr const char* SaveDialogDefaultExt = "*.bin";

class TProgramArmFrm : public QMainWindow {
  Q_OBJECT
 public:
  // st must outlive the window.
  explicit TProgramArmFrm(ConsoleState& st, QWidget* parent = nullptr);
  ~TProgramArmFrm() override;

  // The other forms of the program (created after the window by program main;
  // they must outlive it or be unbound first). Unbound forms are not shown.
  void BindForms(TAboutForm* about, TChipSelectForm* chipSelect, TFormOfsAddr* ofsAddr);

  ConsoleState& State() { return st_; }

  // ---- Start-up and window events ----
  // Start-up sequence; runs once, when the window is first shown (tests may
  // call it directly; a second call does nothing).
  void FormShow();
  bool StartedUp() const { return startedUp_; }
  void InitChannelTables();

  // ---- Settings and chip ----
  void CollectSettings();  // raises EConvertError on a bad integer text
  void MCUNameEditChange();
  void DevButtonClick();
  void About1Click();
  void ClearInformation1Click();
  void SpdBtnExitClick();

  // ---- Option handlers ----
  void CheckBoxAutClick();
  void RadioGpVoltClick();
  void ChkBoxProtClick();
  void CheckBoxSNClick();
  void ChkBoxSNLenClick();
  void ChkBoxSNDPClick();

  // ---- Image files and views ----
  void FileOpenBtnClick();
  void SpdBtnLD2Click();
  void FileSaveBtnClick();
  void LoadEepData1Click();
  void SaveEepData1Click();
  // Returns false when the library reported a failure (logged with its line).
  bool LoadObjectFile(const QString& FileName);
  // True, after a log line and a box saying why, when FileName is a raw binary
  // file that holds no byte: such a file is no image, and the load handlers
  // refuse it before they touch the image, the file name shown or the dialog.
  bool RefusedAsEmptyBinary(const QString& FileName);
  // True, after a box saying why, while a channel runs an operation: the
  // image, the info data and the chip stay as the operation uses them.
  bool RefusedWhileBusy();
  // The same box when busy holds.
  bool RefusedWhileBusy(bool busy);
  void ShowImageSummary();
  void ShowInfoData();
  void ShowImageChecksums(uint32_t First, uint32_t Last);
  void FillHexView(uint32_t First, uint32_t Last);
  // False, with a message box and a log line, when a byte of the serial number
  // (at SnAddr, SnLength bytes, as collected) would lie outside the chip.
  bool OnlineSerialFitsChip();
  // After a batch placed its serial numbers: "S/N Initial" moves on by SnStep,
  // in the edit's notation, so the next batch continues where this one ended.
  void AdvanceSerialNumber();

  // ---- Log ----
  void LogInfo(const std::string& Msg);

  // ---- Small accessors for the list-like controls ----
  int RadioGpVoltIndex() const;
  void SetRadioGpVoltIndex(int i);
  QString StatusPanelText(int i) const;
  void SetStatusPanel(int i, const QString& text);
  bool TabSheetEepVisible() const;
  void SetTabSheetEepVisible(bool visible);
  serial::TComm& SerComm(int k) { return *SerComms[k]; }

  std::unique_ptr<ConsoleOperations> ops;

  // ---- Tool bar ----
  QToolButton* SpdBtnOpen = nullptr;      // "&Load"
  QToolButton* SpdBtnLD2 = nullptr;       // "&Load More"
  QToolButton* SpdBtnDownLoad = nullptr;  // "&Download"
  QToolButton* AutoSpdBtn = nullptr;      // "&Auto"
  QToolButton* SpdBtnBlank = nullptr;     // "&Blank"
  QToolButton* SpdBtnErase = nullptr;     // "&Erase"
  QToolButton* SpdBtnProg = nullptr;      // "&Prog"
  QToolButton* SpdBtnVerify = nullptr;    // "&Verify"
  QToolButton* SpeedButtonRD = nullptr;   // "&Read"
  QToolButton* SpdBtnStartPrg = nullptr;  // stand-alone production start
  QToolButton* SpdBtnExit = nullptr;      // "Exit"

  // ---- Menus ----
  QMenu* FileMenu = nullptr;
  QAction* Execute1 = nullptr;      // "&Load File" Ctrl+L
  QAction* SaveFile1 = nullptr;     // "&Save File" Ctrl+S
  QAction* LoadEepData1 = nullptr;  // "Load EEP Data"
  QAction* SaveEepData1 = nullptr;  // "Save EEP Data"
  QAction* Exit1 = nullptr;         // "E&xit" Ctrl+X
  QMenu* CommandMenu = nullptr;     // "&Command"
  QAction* Download1 = nullptr;
  QAction* AutoProgram1 = nullptr;
  QAction* BlankCheck1 = nullptr;
  QAction* EraseChip1 = nullptr;
  QAction* Programming1 = nullptr;
  QAction* Verification1 = nullptr;
  QAction* ProtectChip1 = nullptr;
  QAction* ReadChipMemory1 = nullptr;
  QAction* ReadChipIDInfo1 = nullptr;
  QAction* ReadChipInfoMemory1 = nullptr;
  QAction* WriteChipEepData1 = nullptr;
  QAction* ReadChipEepData1 = nullptr;
  QAction* VerifyChipEEPData1 = nullptr;
  QMenu* HelpMenu = nullptr;
  QAction* About1 = nullptr;
  QMenu* PopupMenuMemo = nullptr;
  QAction* ClearInformation1 = nullptr;  // "Clear Information"
  QMenu* PopupMenuEEP = nullptr;
  QAction* LoadEEPDataFmFile = nullptr;   // "Load Info Data form File"
  QAction* SaveEEpDatatoFile1 = nullptr;  // "Save Info Data to File"

  // ---- Device area ----
  QPushButton* DevButton = nullptr;
  QPushButton* BitBtnFresh = nullptr;    // "Fresh Device"
  QPushButton* BitBtnFindCOM = nullptr;  // "Find Device"
  ui::TSortedComboBox* ComboBoxCOM = nullptr;
  QLabel* InfoPanel = nullptr;
  QFrame* Panel1 = nullptr;
  QLineEdit* MCUNameEdit = nullptr;
  QLineEdit* ProductEdit = nullptr;  // hidden: loaded file name
  QLineEdit* VerEdit = nullptr;      // hidden
  QLineEdit* DateEdit = nullptr;     // hidden
  ui::TGauge* Gauge1 = nullptr;
  ui::TGauge* Gauge2 = nullptr;
  ui::TGauge* Gauge3 = nullptr;
  ui::TGauge* Gauge4 = nullptr;
  std::array<ui::TGauge*, ChannelCount> Gauges{};

  // ---- Pages ----
  QTabWidget* ViewPageCtrl = nullptr;
  QWidget* TabSheetChip = nullptr;   // "Chip Setup"
  QWidget* TabSheetFlash = nullptr;  // "Main Data"
  QWidget* TabSheetEep = nullptr;    // "OTP Data" / "Info Memory"
  QTabWidget* SetupPageCtrl = nullptr;
  QWidget* TabSheetSN = nullptr;      // serial-number settings
  QWidget* TabSheetSignal = nullptr;  // "Signal Setup"

  // ---- Option controls ----
  QGroupBox* RadioGpVolt = nullptr;  // "I/F Voltage": "3.3V", "5.0V", "1.8V"
  QButtonGroup* RadioGpVoltGroup = nullptr;
  std::array<QRadioButton*, 3> RadioGpVoltItems{};
  QComboBox* ComBoxSpdCLK = nullptr;
  QCheckBox* ChkBoxProt = nullptr;
  QCheckBox* ChkBoxEep = nullptr;
  QCheckBox* ChkBoxAuDT = nullptr;
  QSpinBox* SpinEditInTm = nullptr;
  QSpinBox* SpinEditOuTim = nullptr;
  QSpinBox* SpinEditPwr = nullptr;
  QCheckBox* ChkBoxShutPow = nullptr;
  QCheckBox* CheckBoxRst = nullptr;
  QCheckBox* ChkBoxStrChip = nullptr;
  QCheckBox* ChkBoxMute = nullptr;
  QCheckBox* CheckBoxSN = nullptr;
  QCheckBox* ChkBoxSNLen = nullptr;
  QCheckBox* ChkBoxPCSN = nullptr;
  QCheckBox* ChkBoxSNDP = nullptr;
  QCheckBox* SNOrderChk = nullptr;
  QLineEdit* SNEdit = nullptr;
  QLineEdit* EditSNHW = nullptr;
  QLineEdit* AddrEdit = nullptr;
  QLineEdit* GainEdit = nullptr;

  // ---- Log, views, status ----
  ui::TMemo* InfoMemo = nullptr;
  ui::THexGrid* HexViewer = nullptr;
  ui::THexGrid* EEPView = nullptr;
  std::array<QLabel*, 4> StatusBar1{};  // panels 0..3 of the status bar

  QTimer* Timer1 = nullptr;

  // The serial components of channels 1..4.
  std::unique_ptr<serial::TComm> SerComm1;
  std::unique_ptr<serial::TComm> SerComm2;
  std::unique_ptr<serial::TComm> SerComm3;
  std::unique_ptr<serial::TComm> SerComm4;
  std::array<serial::TComm*, ChannelCount> SerComms{};

  TAboutForm* AboutForm = nullptr;
  TChipSelectForm* ChipSelectForm = nullptr;
  TFormOfsAddr* FormOfsAddr = nullptr;

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  void BuildLayout();
  QWidget* BuildToolBar();
  QWidget* BuildDevicePanel();
  QWidget* BuildChipSetupPage();
  void BuildMenus();
  void BuildStatusBar();
  void ConnectHandlers();
  void ShowImageForChip();
  void BindSerialComponents();
  void BindStateHooks();
  void Guarded(const std::function<void()>& handler);

  void ClosePorts();

  ConsoleState& st_;
  std::unique_ptr<ui::KeyPreview> keyPreview_;
  bool startedUp_ = false;
};

}  // namespace kestra::console

#include "console/AboutForm.h"
#include "console/ChipSelect.h"
#include "console/OffsetDialog.h"

namespace kestra::console {

// The console's four forms on one state, created in the program's order
// (main window, About box, chip selection, offset dialog) and bound to each
// other; destroyed in the reverse order. Program main and the tests each
// build one.
struct ConsoleProgram {
  ConsoleState State;
  TProgramArmFrm ProgramArmFrm{State};
  TAboutForm AboutForm{&ProgramArmFrm};
  TChipSelectForm ChipSelectForm{State, &ProgramArmFrm};
  TFormOfsAddr FormOfsAddr{State, &ProgramArmFrm};

  ConsoleProgram() { ProgramArmFrm.BindForms(&AboutForm, &ChipSelectForm, &FormOfsAddr); }
  ~ConsoleProgram() { ProgramArmFrm.BindForms(nullptr, nullptr, nullptr); }
  ConsoleProgram(const ConsoleProgram&) = delete;
  ConsoleProgram& operator=(const ConsoleProgram&) = delete;
};

}  // namespace kestra::console
