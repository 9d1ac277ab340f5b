#include "upgrade/MainFwUpEPS.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "link/PortList.h"
#include "serial/TComm.h"
#include "ui/Dialogs.h"
#include "ui/Gauge.h"
#include "ui/Memo.h"
#include "ui/SortedComboBox.h"
#include "upgrade/AboutFwUpEPS.h"

namespace kestra::upgrade {

namespace {

QToolButton* FlatButton(const QString& text, const QString& hint, QWidget* parent) {
  auto* b = new QToolButton(parent);
  b->setText(text);
  b->setToolTip(hint);
  b->setAutoRaise(true);
  b->setToolButtonStyle(Qt::ToolButtonTextOnly);
  b->setMinimumSize(72, 36);
  return b;
}

}  // namespace

TFirmWareUG::TFirmWareUG(std::shared_ptr<platform::SerialServices> services, QWidget* parent)
    : QMainWindow(parent), state_(std::make_unique<FwUgState>()) {
  setWindowTitle(QStringLiteral("KestraGangA4 Firmware Upgrade Wizard"));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);

  Panel1 = new QFrame(central);
  Panel1->setFrameShape(QFrame::StyledPanel);
  auto* panelLayout = new QHBoxLayout(Panel1);
  SpdBtnExit = FlatButton(QStringLiteral("退出"), QStringLiteral("Exit Application"), Panel1);
  SpdBtnDownLoad = FlatButton(QStringLiteral("下载更新"),
                              QStringLiteral("下载目标程序到编程器的FLASH中"), Panel1);
  SpdBtnVerify = FlatButton(QStringLiteral("校验"), QStringLiteral("目标MCU编程结果校验"), Panel1);
  SpdBtnDownLoad->setEnabled(false);
  SpdBtnVerify->setEnabled(false);
  DevLabel = new QLabel(QStringLiteral("设备......"), Panel1);
  DevLabel->setFrameShape(QFrame::Panel);
  DevLabel->setFrameShadow(QFrame::Sunken);
  DevLabel->setAlignment(Qt::AlignCenter);
  DevLabel->setMinimumWidth(260);
  {
    QFont f = DevLabel->font();
    f.setBold(true);
    DevLabel->setFont(f);
    QPalette pal = DevLabel->palette();
    pal.setColor(QPalette::WindowText, Qt::red);
    DevLabel->setPalette(pal);
  }
  panelLayout->addWidget(SpdBtnExit);
  panelLayout->addWidget(SpdBtnDownLoad);
  panelLayout->addWidget(SpdBtnVerify);
  panelLayout->addWidget(DevLabel, 1);
  layout->addWidget(Panel1);

  GroupBox1 = new QGroupBox(QStringLiteral("选择通讯设备"), central);
  auto* groupLayout = new QHBoxLayout(GroupBox1);
  Label9 = new QLabel(QStringLiteral("选择通讯设备："), GroupBox1);
  ComboBoxCOM = new ui::TSortedComboBox(GroupBox1);
  ComboBoxCOM->SetText("请选择通讯口......");
  ComboBoxCOM->setMinimumWidth(180);
  BitBtnFind = new QPushButton(QStringLiteral("查找设备"), GroupBox1);
  BitBtnFresh = new QPushButton(QStringLiteral("刷新列表"), GroupBox1);
  groupLayout->addWidget(Label9);
  groupLayout->addWidget(ComboBoxCOM, 1);
  groupLayout->addWidget(BitBtnFind);
  groupLayout->addWidget(BitBtnFresh);
  layout->addWidget(GroupBox1);

  InfoMemo = new ui::TMemo(central);
  InfoMemo->setReadOnly(true);
  InfoMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  InfoMemo->setFont(QFont(QStringLiteral("宋体")));
  {
    QPalette pal = InfoMemo->palette();
    pal.setColor(QPalette::Text, Qt::blue);
    InfoMemo->setPalette(pal);
  }
  InfoMemo->setMinimumSize(520, 300);
  layout->addWidget(InfoMemo, 1);

  ProgressBar1 = new ui::TGauge(central);
  ProgressBar1->SetProgress(0);
  layout->addWidget(ProgressBar1);
  setCentralWidget(central);

  File1 = menuBar()->addMenu(QStringLiteral("&File"));
  Exit1 = File1->addAction(QStringLiteral("E&xit"));
  Execute1 = menuBar()->addMenu(QStringLiteral("&Execute"));
  Upgrade1 = Execute1->addAction(QStringLiteral("&Upgrade"));
  Verification1 = Execute1->addAction(QStringLiteral("&Verification"));
  Help1 = menuBar()->addMenu(QStringLiteral("&Help"));
  About1 = Help1->addAction(QStringLiteral("About"));

  PopupMenu1 = new QMenu(this);
  ClearInfo1 = PopupMenu1->addAction(QStringLiteral("Clear Info"));
  InfoMemo->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(InfoMemo, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { PopupMenu1->popup(InfoMemo->mapToGlobal(pos)); });

  connect(SpdBtnExit, &QToolButton::clicked, this,
          [this] { Guarded(&TFirmWareUG::SpdBtnExitClick); });
  connect(Exit1, &QAction::triggered, this, [this] { Guarded(&TFirmWareUG::SpdBtnExitClick); });
  connect(SpdBtnDownLoad, &QToolButton::clicked, this,
          [this] { Guarded(&TFirmWareUG::SpdBtnDownLoadClick); });
  connect(Upgrade1, &QAction::triggered, this,
          [this] { Guarded(&TFirmWareUG::SpdBtnDownLoadClick); });
  connect(SpdBtnVerify, &QToolButton::clicked, this,
          [this] { Guarded(&TFirmWareUG::SpdBtnVerifyClick); });
  // The verification menu entry runs the verify, as the button does.
  connect(Verification1, &QAction::triggered, this,
          [this] { Guarded(&TFirmWareUG::SpdBtnVerifyClick); });
  connect(BitBtnFind, &QPushButton::clicked, this,
          [this] { Guarded(&TFirmWareUG::BitBtnFindClick); });
  connect(BitBtnFresh, &QPushButton::clicked, this,
          [this] { Guarded(&TFirmWareUG::BitBtnFreshClick); });
  connect(About1, &QAction::triggered, this, [this] { Guarded(&TFirmWareUG::About1Click); });
  connect(ClearInfo1, &QAction::triggered, this,
          [this] { Guarded(&TFirmWareUG::ClearInfo1Click); });

  SerComm1 = std::make_unique<serial::TComm>(std::move(services));
  serial::ApplyDeviceLinkSettings(*SerComm1, 5);
  SerComm1->OnReceiveData = [this](serial::TComm*, const uint8_t* buffer, uint16_t length) {
    ui::Guard(this, [&] { SerComm1ReceiveData(buffer, length); });
  };
  SerComm1->OnRequestHangup = [this](serial::TComm*) {
    Guarded(&TFirmWareUG::SerComm1RequestHangup);
  };

  ReplyTimer = new QTimer(this);
  ReplyTimer->setSingleShot(true);
  ReplyTimer->setInterval(FwReplyTimeoutMs);
  connect(ReplyTimer, &QTimer::timeout, this, [this] { Guarded(&TFirmWareUG::ReplyTimerTimer); });

  FwUgWindowLinks links;
  links.InfoMemo = InfoMemo;
  links.ProgressBar1 = ProgressBar1;
  links.DialogParent = this;
  links.SendData = [this](const uint8_t* data, uint16_t size) {
    return SerComm1->SendData(data, size);
  };
  links.DeviceFound = [this](const QString& ident) {
    SpdBtnDownLoad->setEnabled(true);
    SpdBtnVerify->setEnabled(true);
    DevLabel->setText(ident);
  };
  links.ArmReplyTimer = [this] { ReplyTimer->start(); };
  links.StopReplyTimer = [this] { ReplyTimer->stop(); };
  protocol_ = std::make_unique<FwUgProtocol>(*state_, std::move(links));

  layout->setSizeConstraint(QLayout::SetFixedSize);
  adjustSize();
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

TFirmWareUG::~TFirmWareUG() {
  // Stop the port's threads before the controls its events touch go away.
  SerComm1.reset();
}

void TFirmWareUG::Guarded(void (TFirmWareUG::*handler)()) {
  ui::Guard(this, [this, handler] { (this->*handler)(); });
}

void TFirmWareUG::ClosePortIfOpen() {
  if (SerComm1->PortHandle() != 0) SerComm1->ClosePort();
  portLost_ = false;
}

// Whether Upgrade or Verify may start: none while an operation runs (the
// press is ignored and the running one goes on), and only towards a
// programmer that identified on a port that is still there, since no other
// can ever answer and the operation would wait for ever.
bool TFirmWareUG::ReadyForOperation() {
  if (state_->OpState != OpIdle) return false;
  if (SerComm1->PortHandle() != 0 && portLost_) {
    protocol_->RefuseOperation(FwPortLostText());
    return false;
  }
  if (SerComm1->PortHandle() == 0 || state_->DeviceIdentified != 1) {
    protocol_->RefuseOperation(FwNoDeviceText());
    return false;
  }
  return true;
}

void TFirmWareUG::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!event->spontaneous()) Guarded(&TFirmWareUG::FormShow);
}

void TFirmWareUG::closeEvent(QCloseEvent* event) {
  Guarded(&TFirmWareUG::FormClose);
  QMainWindow::closeEvent(event);
}

void TFirmWareUG::FormShow() {
  FwUgState& s = *state_;
  InfoMemo->Add(QStringLiteral(" *----------------------------------------------------*"));
  InfoMemo->Add(QStringLiteral(" *      KestraGangA4 Firmware Upgrade, 2022-06-29     *"));
  InfoMemo->Add(QStringLiteral(" *      Add Time Delay for VPP Output (PAxx Chips)    *"));
  InfoMemo->Add(QStringLiteral(" *                                                    *"));
  InfoMemo->Add(
      QString::asprintf(" *           更新区 CheckSum 1 = 0x%04X               *", 0x126E));
  InfoMemo->Add(
      QString::asprintf(" *           更新区 CheckSum 2 = 0x%04X               *", 0xCBC2));
  InfoMemo->Add(QStringLiteral(" *----------------------------------------------------*"));
  setWindowTitle(QStringLiteral("KestraGangA4 Firmware Upgrade Wizard - GBR7x"));
  InfoMemo->Add(QString());
  s.ExpCheckSum2 = 0xCBC2;
  s.ExpCheckSum1 = 0x126E;
  s.FwStartAddr = 0x2000;
  s.FwEndAddr = 0x3FFF;
  BitBtnFindClick();
}

void TFirmWareUG::FormClose() { ClosePortIfOpen(); }

void TFirmWareUG::BitBtnFindClick() {
  FwUgState& s = *state_;
  protocol_->AbortOperation(FwInterruptedText());  // the search takes the port over
  ComboBoxCOM->Clear();
  s.FwRxLen = 0;
  ProgressBar1->SetProgress(0);
  ProgressBar1->SetForeColor(ui::GaugeBlue);
  ClosePortIfOpen();
  link::EnumVirtualComPorts(*ComboBoxCOM, link::NoDeviceTextUpgrade);
  if (ComboBoxCOM->Count() == 0) return;
  const std::string port = ComboBoxCOM->Item(0);
  s.DeviceIdentified = 0;
  DevLabel->setText(QStringLiteral("Searching Devices............"));
  InfoMemo->Add(
      QStringLiteral("> Checking Device In %1............").arg(QString::fromStdString(port)));
  SerComm1->CommName = port;
  SerComm1->OpenPort();  // ECommsError ends the search in the error box
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (SerComm1->PortHandle() != 0) protocol_->SendCommand(link::CmdSearchDevice, 0);
}

void TFirmWareUG::BitBtnFreshClick() {
  protocol_->AbortOperation(FwInterruptedText());
  SpdBtnDownLoad->setEnabled(false);
  SpdBtnVerify->setEnabled(false);
  state_->DeviceIdentified = 0;
  ComboBoxCOM->Clear();
  ClosePortIfOpen();
  link::EnumVirtualComPorts(*ComboBoxCOM, link::NoDeviceTextUpgrade);
}

void TFirmWareUG::SpdBtnDownLoadClick() {
  if (ReadyForOperation()) protocol_->StartUpgrade();
}

void TFirmWareUG::SpdBtnVerifyClick() {
  if (ReadyForOperation()) protocol_->StartVerify();
}

void TFirmWareUG::SpdBtnExitClick() {
  ClosePortIfOpen();
  close();
}

void TFirmWareUG::About1Click() {
  if (AboutForm != nullptr) {
    ui::Dialogs().ShowModal(*AboutForm);
    return;
  }
  TAboutForm form(this);
  ui::Dialogs().ShowModal(form);
}

void TFirmWareUG::ClearInfo1Click() { InfoMemo->Clear(); }

void TFirmWareUG::SerComm1ReceiveData(const uint8_t* Buffer, uint16_t BufferLength) {
  if (receiving_) {
    arrived_.emplace_back(Buffer, Buffer + BufferLength);
    return;
  }
  // A result box opens once the chunks have been handled.
  ui::WithBoxesAfter([&] {
    const QScopedValueRollback<bool> running(receiving_, true);
    TakeChunk(Buffer, BufferLength);
    while (!arrived_.empty()) {
      const std::vector<uint8_t> chunk = std::move(arrived_.front());
      arrived_.pop_front();
      TakeChunk(chunk.data(), static_cast<uint16_t>(chunk.size()));
    }
  });
}

void TFirmWareUG::TakeChunk(const uint8_t* Buffer, uint16_t BufferLength) {
  FwUgState& s = *state_;
  // Our serial component delivers at most a few KB per chunk; a longer one is
  // cut to the buffer (its tail is lost, as any reply split over chunks is).
  const std::size_t n = std::min<std::size_t>(BufferLength, FwRxBufSize);
  std::memcpy(s.FwRxBuf, Buffer, n);
  s.FwRxLen = static_cast<uint16_t>(n);
  if (HasCompleteFrame(s.FwRxBuf, s.FwRxLen)) {
    if (s.DeviceIdentified == 1)
      protocol_->HandleCommandReply(s.FwRxLen);
    else
      protocol_->HandleIdentifyReply(s.FwRxLen);
  }
  s.FwRxLen = 0;
}

void TFirmWareUG::SerComm1RequestHangup() {
  if (ComboBoxCOM->Count() > 0) ComboBoxCOM->DeleteItem(0);
  // The port stays open until a search or a refresh; what ran on it cannot end.
  portLost_ = true;
  protocol_->AbortOperation(FwPortLostText());
}

void TFirmWareUG::ReplyTimerTimer() {
  // Its box opens once the operation has ended.
  ui::WithBoxesAfter([this] { protocol_->ReplyTimedOut(); });
}

int FwUpProgramMain(int argc, char** argv) {
  QApplication app(argc, argv);
  // The application name is the title; the display name (and with it the
  // caption of the result boxes) falls back to it, and window captions stay
  // exactly as set.
  QApplication::setApplicationName(QString::fromLatin1(UpgradeAppTitle));
  TFirmWareUG mainWindow;
  TAboutForm aboutForm;
  mainWindow.SetAboutForm(&aboutForm);
  mainWindow.show();
  return app.exec();
}

}  // namespace kestra::upgrade
