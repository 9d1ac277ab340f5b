// The upgrade tool's main window: finds a programmer on the first listed
// port, writes the firmware that the tool carries and has it verified.
//
// The window owns the tool's state (one per window, so tests build fresh
// ones) and its serial component. Controls are public members under their
// form names so tests can drive them.
#pragma once

#include <QMainWindow>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "upgrade/DefineFwUg.h"

class QAction;
class QFrame;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QTimer;
class QToolButton;

namespace kestra::platform {
class SerialServices;
}
namespace kestra::serial {
class TComm;
}
namespace kestra::ui {
class TGauge;
class TMemo;
class TSortedComboBox;
}  // namespace kestra::ui

namespace kestra::upgrade {

class TAboutForm;

inline constexpr const char* UpgradeAppTitle = "KestraGangA4 Firmware Upgrade";

class TFirmWareUG : public QMainWindow {
  Q_OBJECT
 public:
  // services: the serial port layer (null: the POSIX ttys).
  explicit TFirmWareUG(std::shared_ptr<platform::SerialServices> services = nullptr,
                       QWidget* parent = nullptr);
  ~TFirmWareUG() override;

  FwUgState& State() { return *state_; }
  FwUgProtocol& Protocol() { return *protocol_; }
  void SetAboutForm(TAboutForm* form) { AboutForm = form; }

  // Handlers (each runs inside the error guard when raised by the window).
  void FormShow();
  void FormClose();
  void BitBtnFindClick();
  void BitBtnFreshClick();
  void SpdBtnDownLoadClick();
  void SpdBtnVerifyClick();
  void SpdBtnExitClick();
  void About1Click();
  void ClearInfo1Click();
  void SerComm1ReceiveData(const uint8_t* Buffer, uint16_t BufferLength);
  void SerComm1RequestHangup();
  void ReplyTimerTimer();

  QFrame* Panel1 = nullptr;
  QToolButton* SpdBtnExit = nullptr;
  QToolButton* SpdBtnDownLoad = nullptr;
  QToolButton* SpdBtnVerify = nullptr;
  QLabel* DevLabel = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QLabel* Label9 = nullptr;
  ui::TSortedComboBox* ComboBoxCOM = nullptr;
  QPushButton* BitBtnFind = nullptr;
  QPushButton* BitBtnFresh = nullptr;
  ui::TMemo* InfoMemo = nullptr;
  ui::TGauge* ProgressBar1 = nullptr;
  QMenu* File1 = nullptr;
  QAction* Exit1 = nullptr;
  QMenu* Execute1 = nullptr;
  QAction* Upgrade1 = nullptr;
  QAction* Verification1 = nullptr;
  QMenu* Help1 = nullptr;
  QAction* About1 = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QAction* ClearInfo1 = nullptr;
  std::unique_ptr<serial::TComm> SerComm1;
  QTimer* ReplyTimer = nullptr;  // single shot: the reply time-out of an operation
  TAboutForm* AboutForm = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void Guarded(void (TFirmWareUG::*handler)());
  void ClosePortIfOpen();
  bool ReadyForOperation();
  // One received chunk, taken as a whole reply.
  void TakeChunk(const uint8_t* Buffer, uint16_t BufferLength);

  // The receive routine runs once at a time: chunks that come while it runs
  // wait here, in order, and the running routine takes them after its own.
  bool receiving_ = false;
  std::deque<std::vector<uint8_t>> arrived_;

  // The open port reported a hang-up: the programmer is gone until a search
  // opens a port again.
  bool portLost_ = false;

  std::unique_ptr<FwUgState> state_;
  std::unique_ptr<FwUgProtocol> protocol_;
};

// Program entry: title, main window, About box, message loop.
int FwUpProgramMain(int argc, char** argv);

}  // namespace kestra::upgrade
