// The main window: construction and layout, start-up, the chip and option
// handlers and the forwarding of runtime and command handlers to
// ConsoleOperations. Image files and views are in ImageViews.cpp.
#include "console/MainWindow.h"

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QSpinBox>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <cstring>

#include "companion/KestraRHB.h"
#include "console/AboutForm.h"
#include "console/ChannelMachine.h"
#include "console/ChannelProgress.h"
#include "console/ChipSelect.h"
#include "console/IntText.h"
#include "console/OffsetDialog.h"
#include "console/Operations.h"
#include "console/SettingsCore.h"
#include "serial/TComm.h"
#include "ui/Dialogs.h"
#include "ui/Gauge.h"
#include "ui/HexGrid.h"
#include "ui/KeyPreview.h"
#include "ui/Memo.h"
#include "ui/SortedComboBox.h"

namespace kestra::console {

namespace {

constexpr int WindowWidth = 1000;
constexpr int WindowHeight = 720;

QString Utf8(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

// ===========================================================================
// Construction
// ===========================================================================

TProgramArmFrm::TProgramArmFrm(ConsoleState& st, QWidget* parent) : QMainWindow(parent), st_(st) {
  setWindowTitle(QStringLiteral("KestraGangA4 Programmer Wizard"));
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);

  SerComm1 = std::make_unique<serial::TComm>();
  SerComm2 = std::make_unique<serial::TComm>();
  SerComm3 = std::make_unique<serial::TComm>();
  SerComm4 = std::make_unique<serial::TComm>();
  SerComms = {SerComm1.get(), SerComm2.get(), SerComm3.get(), SerComm4.get()};
  for (auto* comm : SerComms) serial::ApplyDeviceLinkSettings(*comm, 2);

  BuildLayout();
  setFixedSize(WindowWidth, WindowHeight);
  if (const QScreen* screen = this->screen())
    move(screen->availableGeometry().center() - rect().center());

  Timer1 = new QTimer(this);
  Timer1->setInterval(10);
  Timer1->setTimerType(Qt::PreciseTimer);

  ops = std::make_unique<ConsoleOperations>(*this, st_);
  BindSerialComponents();
  BindStateHooks();
  ConnectHandlers();
  keyPreview_ = std::make_unique<ui::KeyPreview>(this, [this](int key) { ops->FormKeyPress(key); });
  Timer1->start();
}

TProgramArmFrm::~TProgramArmFrm() {
  Timer1->stop();
  keyPreview_.reset();
  ops.reset();
  ClosePorts();
  // The state outlives the window: leave it no reference into the window.
  st_.Hooks = WindowHooks{};
  if (st_.InfoMemoRef == InfoMemo) st_.InfoMemoRef = nullptr;
  for (int k = 0; k < ChannelCount; ++k) {
    st_.ChannelGauge[k] = nullptr;
    st_.CommPorts[k] = nullptr;
    st_.Link[k]->SetPort(nullptr);
  }
  // Nothing runs or waits on the window's channels any more.
  ReleaseChannels(st_);
}

void TProgramArmFrm::BindForms(TAboutForm* about, TChipSelectForm* chipSelect,
                               TFormOfsAddr* ofsAddr) {
  AboutForm = about;
  ChipSelectForm = chipSelect;
  FormOfsAddr = ofsAddr;
}

// ===========================================================================
// Layout (every control of the window is made here)
// ===========================================================================

void TProgramArmFrm::BuildLayout() {
  BuildMenus();
  auto* central = new QWidget(this);
  auto* top = new QVBoxLayout(central);
  top->setContentsMargins(4, 2, 4, 2);
  top->setSpacing(4);
  top->addWidget(BuildToolBar());

  ViewPageCtrl = new QTabWidget(central);
  TabSheetChip = BuildChipSetupPage();
  ViewPageCtrl->addTab(TabSheetChip, QStringLiteral("Chip Setup"));

  TabSheetFlash = new QWidget;
  HexViewer = new ui::THexGrid(TabSheetFlash);
  auto* flashLayout = new QVBoxLayout(TabSheetFlash);
  flashLayout->setContentsMargins(0, 0, 0, 0);
  flashLayout->addWidget(HexViewer);
  ViewPageCtrl->addTab(TabSheetFlash, QStringLiteral("Main Data"));

  TabSheetEep = new QWidget;
  EEPView = new ui::THexGrid(TabSheetEep);
  auto* eepLayout = new QVBoxLayout(TabSheetEep);
  eepLayout->setContentsMargins(0, 0, 0, 0);
  eepLayout->addWidget(EEPView);
  ViewPageCtrl->addTab(TabSheetEep, QStringLiteral("OTP Data"));
  for (auto* grid : {HexViewer, EEPView}) {
    grid->verticalHeader()->setDefaultSectionSize(20);
    grid->horizontalHeader()->setDefaultSectionSize(25);
    grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  }
  PopupMenuEEP = new QMenu(this);
  LoadEEPDataFmFile = PopupMenuEEP->addAction(QStringLiteral("Load Info Data form File"));
  SaveEEpDatatoFile1 = PopupMenuEEP->addAction(QStringLiteral("Save Info Data to File"));
  EEPView->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(EEPView, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    PopupMenuEEP->popup(EEPView->viewport()->mapToGlobal(pos));
  });

  auto* middle = new QHBoxLayout;
  middle->addWidget(ViewPageCtrl, 1);
  middle->addWidget(BuildDevicePanel());
  top->addLayout(middle, 3);

  InfoMemo = new ui::TMemo(central);
  InfoMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  PopupMenuMemo = new QMenu(this);
  ClearInformation1 = PopupMenuMemo->addAction(QStringLiteral("Clear Information"));
  InfoMemo->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(InfoMemo, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { PopupMenuMemo->popup(InfoMemo->mapToGlobal(pos)); });
  top->addWidget(InfoMemo, 2);

  // Hidden texts carried by the configuration packet.
  ProductEdit = new QLineEdit(central);
  VerEdit = new QLineEdit(central);
  DateEdit = new QLineEdit(central);
  for (auto* edit : {ProductEdit, VerEdit, DateEdit}) edit->hide();

  setCentralWidget(central);
  BuildStatusBar();
}

void TProgramArmFrm::BuildMenus() {
  QMenuBar* bar = menuBar();
  FileMenu = bar->addMenu(QStringLiteral("&File"));
  Execute1 = FileMenu->addAction(QStringLiteral("&Load File"));
  Execute1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
  SaveFile1 = FileMenu->addAction(QStringLiteral("&Save File"));
  SaveFile1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  FileMenu->addSeparator();
  LoadEepData1 = FileMenu->addAction(QStringLiteral("Load EEP Data"));
  SaveEepData1 = FileMenu->addAction(QStringLiteral("Save EEP Data"));
  FileMenu->addSeparator();
  Exit1 = FileMenu->addAction(QStringLiteral("E&xit"));
  Exit1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));

  CommandMenu = bar->addMenu(QStringLiteral("&Command"));
  auto add = [this](const char* caption, QKeySequence key = {}) {
    QAction* a = CommandMenu->addAction(QString::fromUtf8(caption));
    if (!key.isEmpty()) a->setShortcut(key);
    return a;
  };
  Download1 = add("&Download", QKeySequence(Qt::Key_F4));
  AutoProgram1 = add("&Auto Program", QKeySequence(Qt::Key_F5));
  BlankCheck1 = add("&Blank Check", QKeySequence(Qt::Key_F6));
  EraseChip1 = add("&Erase Chip", QKeySequence(Qt::Key_F7));
  Programming1 = add("&Programming", QKeySequence(Qt::Key_F8));
  Verification1 = add("&Verification", QKeySequence(Qt::Key_F9));
  ProtectChip1 = add("Protect Chip (Config)");
  CommandMenu->addSeparator();
  ReadChipMemory1 = add("&Read Chip Memory", QKeySequence(Qt::CTRL | Qt::Key_R));
  ReadChipIDInfo1 = add("Read Chip ID", QKeySequence(Qt::CTRL | Qt::Key_I));
  ReadChipInfoMemory1 = add("Read Chip Info Memory");
  CommandMenu->addSeparator();
  WriteChipEepData1 = add("Write Info/EEP Data");
  ReadChipEepData1 = add("Read Info/EEP Data");
  VerifyChipEEPData1 = add("Verify Info/EEP Data");
  // Hidden items until a chip shows them; Read Chip ID and Verify Info/EEP
  // Data stay hidden. A hidden item's shortcut still runs it (see
  // ConnectHandlers): Ctrl+I is the way to Read Chip ID.
  for (QAction* a :
       {ProtectChip1, ReadChipIDInfo1, VerifyChipEEPData1, WriteChipEepData1, ReadChipEepData1})
    a->setVisible(false);

  HelpMenu = bar->addMenu(QStringLiteral("&Help"));
  About1 = HelpMenu->addAction(QStringLiteral("About"));
}

QWidget* TProgramArmFrm::BuildToolBar() {
  auto* bar = new QFrame;
  bar->setFrameShape(QFrame::StyledPanel);
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(2, 2, 2, 2);
  row->setSpacing(2);
  auto make = [&](const QString& caption, QStyle::StandardPixmap icon, const char* hint) {
    auto* b = new QToolButton(bar);
    b->setText(caption);
    b->setIcon(style()->standardIcon(icon));
    b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    b->setAutoRaise(true);
    b->setMinimumWidth(74);
    if (hint) b->setToolTip(QString::fromUtf8(hint));
    row->addWidget(b);
    return b;
  };
  SpdBtnOpen = make(QStringLiteral("&Load"), QStyle::SP_DialogOpenButton, "Load Object File");
  SpdBtnLD2 =
      make(QStringLiteral("&Load More"), QStyle::SP_FileDialogNewFolder, "Load More Object File");
  SpdBtnDownLoad = make(QStringLiteral("&Download"), QStyle::SP_ArrowDown, nullptr);
  AutoSpdBtn = make(QStringLiteral("&Auto"), QStyle::SP_MediaPlay, nullptr);
  SpdBtnBlank = make(QStringLiteral("&Blank"), QStyle::SP_FileIcon, nullptr);
  SpdBtnErase = make(QStringLiteral("&Erase"), QStyle::SP_TrashIcon, nullptr);
  SpdBtnProg = make(QStringLiteral("&Prog"), QStyle::SP_DriveFDIcon, nullptr);
  SpdBtnVerify = make(QStringLiteral("&Verify"), QStyle::SP_DialogApplyButton, nullptr);
  SpeedButtonRD = make(QStringLiteral("&Read"), QStyle::SP_ArrowUp, nullptr);
  SpdBtnStartPrg = make(QStringLiteral("启动烧写"), QStyle::SP_MediaSeekForward, nullptr);
  row->addStretch();
  SpdBtnExit = make(QStringLiteral("Exit"), QStyle::SP_DialogCloseButton, nullptr);
  return bar;
}

QWidget* TProgramArmFrm::BuildDevicePanel() {
  Panel1 = new QFrame;
  Panel1->setFrameShape(QFrame::StyledPanel);
  Panel1->setFocusPolicy(Qt::StrongFocus);
  Panel1->setFixedWidth(300);
  auto* col = new QVBoxLayout(Panel1);

  auto* devices = new QGroupBox(QStringLiteral("Devices"), Panel1);
  auto* dl = new QGridLayout(devices);
  BitBtnFresh = new QPushButton(QStringLiteral("Fresh Device"), devices);
  BitBtnFindCOM = new QPushButton(QStringLiteral("Find Device"), devices);
  ComboBoxCOM = new ui::TSortedComboBox(devices);
  ComboBoxCOM->SetText("Select COM......");
  InfoPanel = new QLabel(QStringLiteral("Device = ??????"), devices);
  InfoPanel->setFrameShape(QFrame::Panel);
  InfoPanel->setFrameShadow(QFrame::Sunken);
  InfoPanel->setAlignment(Qt::AlignCenter);
  InfoPanel->setMinimumHeight(26);
  dl->addWidget(BitBtnFresh, 0, 0);
  dl->addWidget(BitBtnFindCOM, 0, 1);
  dl->addWidget(ComboBoxCOM, 1, 0, 1, 2);
  dl->addWidget(InfoPanel, 2, 0, 1, 2);
  col->addWidget(devices);

  auto* channels = new QGroupBox(QStringLiteral("Channels"), Panel1);
  auto* cl = new QGridLayout(channels);
  for (int k = 0; k < ChannelCount; ++k) {
    auto* gauge = new ui::TGauge(channels);
    gauge->setEnabled(false);
    gauge->setMinimumHeight(22);
    Gauges[k] = gauge;
    cl->addWidget(new QLabel(QStringLiteral("CH%1").arg(k + 1), channels), k, 0);
    cl->addWidget(gauge, k, 1);
  }
  Gauge1 = Gauges[0];
  Gauge2 = Gauges[1];
  Gauge3 = Gauges[2];
  Gauge4 = Gauges[3];
  col->addWidget(channels);
  col->addStretch();
  return Panel1;
}

QWidget* TProgramArmFrm::BuildChipSetupPage() {
  auto* page = new QWidget;
  auto* grid = new QGridLayout(page);

  // Chip type, voltage, clock and the two options under the chip name.
  auto* chip = new QGroupBox(QStringLiteral("Chip Type"), page);
  auto* cg = new QGridLayout(chip);
  DevButton = new QPushButton(QStringLiteral("Chip Type..."), chip);
  MCUNameEdit = new QLineEdit(QStringLiteral("Please select chip type..."), chip);
  // Read-only, so nobody types into it; Qt's maximum length would also cut
  // the start text, and the configuration packet takes the first 16 bytes.
  MCUNameEdit->setReadOnly(true);
  cg->addWidget(DevButton, 0, 0);
  cg->addWidget(MCUNameEdit, 0, 1);

  RadioGpVolt = new QGroupBox(QStringLiteral("I/F Voltage"), chip);
  auto* vl = new QHBoxLayout(RadioGpVolt);
  RadioGpVoltGroup = new QButtonGroup(this);
  const char* volts[] = {"3.3V", "5.0V", "1.8V"};
  for (int i = 0; i < 3; ++i) {
    RadioGpVoltItems[i] = new QRadioButton(QString::fromUtf8(volts[i]), RadioGpVolt);
    RadioGpVoltGroup->addButton(RadioGpVoltItems[i], i);
    vl->addWidget(RadioGpVoltItems[i]);
  }
  RadioGpVoltItems[0]->setChecked(true);
  RadioGpVolt->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  cg->addWidget(RadioGpVolt, 1, 0, 1, 2);

  cg->addWidget(new QLabel(QStringLiteral("Programming Speed Select (CLK):   "), chip), 2, 0, 1, 2);
  ComBoxSpdCLK = new QComboBox(chip);
  for (const char* item : {"SCLK = 3MHz", "SCLK = 2MHz", "SCLK = 1MHz", "SCLK = 750KHz",
                           "SCLK = 500KHz", "SCLK = 200KHz", "SCLK = 100KHz"})
    ComBoxSpdCLK->addItem(QString::fromUtf8(item));
  ComBoxSpdCLK->setCurrentIndex(0);
  cg->addWidget(ComBoxSpdCLK, 3, 0, 1, 2);
  ChkBoxProt = new QCheckBox(QStringLiteral("Protect Chip after Verified"), chip);
  ChkBoxEep = new QCheckBox(QStringLiteral("Program Info Data"), chip);
  cg->addWidget(ChkBoxProt, 4, 0, 1, 2);
  cg->addWidget(ChkBoxEep, 5, 0, 1, 2);
  cg->setRowStretch(6, 1);
  cg->setColumnStretch(1, 1);
  ChkBoxProt->setVisible(false);
  ChkBoxEep->setVisible(false);
  // Keep the rows in place while the two boxes are hidden.
  for (auto* box : {ChkBoxProt, ChkBoxEep}) {
    QSizePolicy sp = box->sizePolicy();
    sp.setRetainSizeWhenHidden(true);
    box->setSizePolicy(sp);
  }
  grid->addWidget(chip, 0, 0);

  SetupPageCtrl = new QTabWidget(page);

  // Serial numbers.
  TabSheetSN = new QWidget;
  auto* sn = new QGridLayout(TabSheetSN);
  CheckBoxSN = new QCheckBox(QStringLiteral("Enable S/N function"), TabSheetSN);
  CheckBoxSN->setToolTip(QStringLiteral("序列号只存储于Flash区域！"));
  ChkBoxSNLen = new QCheckBox(QStringLiteral("SN 8-Bytes Length"), TabSheetSN);
  ChkBoxPCSN = new QCheckBox(QStringLiteral("Enable On-Line S/N"), TabSheetSN);
  ChkBoxSNDP = new QCheckBox(QStringLiteral("S/N Decimal Display"), TabSheetSN);
  SNOrderChk = new QCheckBox(QStringLiteral("S/N Big Endian"), TabSheetSN);
  auto edit = [&](const char* text, int maxLen) {
    auto* e = new QLineEdit(QString::fromUtf8(text), TabSheetSN);
    e->setMaxLength(maxLen);
    e->setEnabled(false);
    return e;
  };
  SNEdit = edit("0x00000000", 10);
  EditSNHW = edit("0x00000000", 10);
  AddrEdit = edit("0x0000FFF0", 10);
  GainEdit = edit("0x01", 4);
  ChkBoxSNLen->setEnabled(false);
  ChkBoxPCSN->setEnabled(false);
  sn->addWidget(CheckBoxSN, 0, 0);
  sn->addWidget(ChkBoxSNLen, 0, 1);
  sn->addWidget(ChkBoxPCSN, 1, 0);
  sn->addWidget(ChkBoxSNDP, 1, 1);
  sn->addWidget(SNOrderChk, 2, 0);
  sn->addWidget(new QLabel(QStringLiteral("S/N Initial: "), TabSheetSN), 3, 0);
  sn->addWidget(SNEdit, 3, 1);
  sn->addWidget(new QLabel(QStringLiteral("S/N H/W: "), TabSheetSN), 4, 0);
  sn->addWidget(EditSNHW, 4, 1);
  sn->addWidget(new QLabel(QStringLiteral("S/N Addr: "), TabSheetSN), 5, 0);
  sn->addWidget(AddrEdit, 5, 1);
  sn->addWidget(new QLabel(QStringLiteral("S/N Gain: "), TabSheetSN), 6, 0);
  sn->addWidget(GainEdit, 6, 1);
  sn->setRowStretch(7, 1);
  SetupPageCtrl->addTab(TabSheetSN, QStringLiteral("S/N Setup"));

  // Signals.
  TabSheetSignal = new QWidget;
  auto* sg = new QGridLayout(TabSheetSignal);
  ChkBoxAuDT = new QCheckBox(QStringLiteral("Auto-Chip Detect"), TabSheetSignal);
  auto spin = [&](int lo, int hi, int step, int value) {
    auto* s = new QSpinBox(TabSheetSignal);
    s->setRange(lo, hi);
    s->setSingleStep(step);
    s->setValue(value);
    return s;
  };
  SpinEditInTm = spin(300, 1500, 30, 510);
  SpinEditOuTim = spin(300, 2000, 30, 510);
  SpinEditPwr = spin(10, 1000, 10, 50);
  ChkBoxShutPow = new QCheckBox(QStringLiteral("Shut VO after programming"), TabSheetSignal);
  ChkBoxShutPow->setChecked(true);
  CheckBoxRst = new QCheckBox(QStringLiteral("Out Reset After Programmed"), TabSheetSignal);
  CheckBoxRst->setChecked(true);
  ChkBoxStrChip = new QCheckBox(QStringLiteral("Run chip after programming"), TabSheetSignal);
  ChkBoxMute = new QCheckBox(QStringLiteral("Mute Buzzer"), TabSheetSignal);
  sg->addWidget(ChkBoxAuDT, 0, 0, 1, 2);
  sg->addWidget(new QLabel(QStringLiteral("Chip In-Time(ms):  "), TabSheetSignal), 1, 0);
  sg->addWidget(SpinEditInTm, 1, 1);
  sg->addWidget(new QLabel(QStringLiteral("Chip Off-Time(ms):  "), TabSheetSignal), 2, 0);
  sg->addWidget(SpinEditOuTim, 2, 1);
  sg->addWidget(new QLabel(QStringLiteral("Power On Stable Time (ms):  "), TabSheetSignal), 3, 0);
  sg->addWidget(SpinEditPwr, 3, 1);
  sg->addWidget(ChkBoxShutPow, 4, 0, 1, 2);
  sg->addWidget(CheckBoxRst, 5, 0, 1, 2);
  sg->addWidget(ChkBoxStrChip, 6, 0, 1, 2);
  sg->addWidget(ChkBoxMute, 7, 0, 1, 2);
  sg->setRowStretch(8, 1);
  SetupPageCtrl->addTab(TabSheetSignal, QStringLiteral("Signal Setup"));

  grid->addWidget(SetupPageCtrl, 0, 1);
  grid->setColumnStretch(0, 4);
  grid->setColumnStretch(1, 3);
  return page;
}

void TProgramArmFrm::BuildStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setSizeGripEnabled(false);
  const int widths[] = {130, 130, 500};
  const char* texts[] = {"AccSum:", "CRCSum:", "", ""};
  for (int i = 0; i < 4; ++i) {
    auto* panel = new QLabel(QString::fromUtf8(texts[i]), bar);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    if (i < 3) {
      panel->setFixedWidth(widths[i]);
      bar->addWidget(panel);
    } else {
      bar->addWidget(panel, 1);
    }
    StatusBar1[i] = panel;
  }
}

// ===========================================================================
// Bindings: handlers, serial components, state hooks
// ===========================================================================

void TProgramArmFrm::Guarded(const std::function<void()>& handler) { ui::Guard(this, handler); }

void TProgramArmFrm::ConnectHandlers() {
  auto on = [this](auto* sender, auto signal, std::function<void()> handler) {
    ui::OnSignal(sender, signal, this, std::move(handler));
  };
  auto op = [this](void (ConsoleOperations::*fn)()) { return [this, fn] { (ops.get()->*fn)(); }; };

  // Runtime.
  on(Timer1, &QTimer::timeout, op(&ConsoleOperations::Timer1Timer));
  on(BitBtnFresh, &QPushButton::clicked, op(&ConsoleOperations::BitBtnFreshClick));
  on(BitBtnFindCOM, &QPushButton::clicked, op(&ConsoleOperations::BitBtnFindCOMClick));
  on(SpdBtnStartPrg, &QToolButton::clicked, op(&ConsoleOperations::SpdBtnStartPrgClick));

  // Commands: buttons and menu items.
  const std::pair<QToolButton*, void (ConsoleOperations::*)()> buttons[] = {
      {SpdBtnDownLoad, &ConsoleOperations::SpdBtnDownLoadClick},
      {AutoSpdBtn, &ConsoleOperations::AutoSpdBtnClick},
      {SpdBtnBlank, &ConsoleOperations::SpdBtnBlankClick},
      {SpdBtnErase, &ConsoleOperations::SpdBtnEraseClick},
      {SpdBtnProg, &ConsoleOperations::SpdBtnProgClick},
      {SpdBtnVerify, &ConsoleOperations::SpdBtnVerifyClick},
      {SpeedButtonRD, &ConsoleOperations::SpeedButtonRDClick},
  };
  for (const auto& [button, fn] : buttons) on(button, &QToolButton::clicked, op(fn));
  const std::pair<QAction*, void (ConsoleOperations::*)()> items[] = {
      {Download1, &ConsoleOperations::SpdBtnDownLoadClick},
      {AutoProgram1, &ConsoleOperations::AutoSpdBtnClick},
      {BlankCheck1, &ConsoleOperations::SpdBtnBlankClick},
      {EraseChip1, &ConsoleOperations::SpdBtnEraseClick},
      {Programming1, &ConsoleOperations::SpdBtnProgClick},
      {Verification1, &ConsoleOperations::SpdBtnVerifyClick},
      {ProtectChip1, &ConsoleOperations::ProtectChip1Click},
      {ReadChipMemory1, &ConsoleOperations::SpeedButtonRDClick},
      {ReadChipIDInfo1, &ConsoleOperations::ReadChipIDInfo1Click},
      {ReadChipInfoMemory1, &ConsoleOperations::ReadChipInfoMemory1Click},
      {WriteChipEepData1, &ConsoleOperations::WriteChipEepData1Click},
      {ReadChipEepData1, &ConsoleOperations::ReadChipEepData1Click},
      {VerifyChipEEPData1, &ConsoleOperations::VerifyChipEEPData1Click},
  };
  for (const auto& [item, fn] : items) {
    on(item, &QAction::triggered, op(fn));
    // Qt drops the shortcut of a hidden action; the menu's shortcuts work
    // whether the item is shown or not, so a window shortcut stands in for
    // it while the item is hidden.
    if (item->shortcut().isEmpty()) continue;
    auto* hiddenKey = new QShortcut(item->shortcut(), this);
    hiddenKey->setContext(Qt::WindowShortcut);
    hiddenKey->setEnabled(!item->isVisible());
    connect(item, &QAction::visibleChanged, hiddenKey,
            [action = item, hiddenKey] { hiddenKey->setEnabled(!action->isVisible()); });
    on(hiddenKey, &QShortcut::activated, op(fn));
  }

  // Files and views.
  on(SpdBtnOpen, &QToolButton::clicked, [this] { FileOpenBtnClick(); });
  on(Execute1, &QAction::triggered, [this] { FileOpenBtnClick(); });
  on(SpdBtnLD2, &QToolButton::clicked, [this] { SpdBtnLD2Click(); });
  on(SaveFile1, &QAction::triggered, [this] { FileSaveBtnClick(); });
  on(LoadEepData1, &QAction::triggered, [this] { LoadEepData1Click(); });
  on(LoadEEPDataFmFile, &QAction::triggered, [this] { LoadEepData1Click(); });
  on(SaveEepData1, &QAction::triggered, [this] { SaveEepData1Click(); });
  on(SaveEEpDatatoFile1, &QAction::triggered, [this] { SaveEepData1Click(); });

  // Window.
  on(SpdBtnExit, &QToolButton::clicked, [this] { SpdBtnExitClick(); });
  on(Exit1, &QAction::triggered, [this] { SpdBtnExitClick(); });
  on(DevButton, &QPushButton::clicked, [this] { DevButtonClick(); });
  on(About1, &QAction::triggered, [this] { About1Click(); });
  on(ClearInformation1, &QAction::triggered, [this] { ClearInformation1Click(); });
  on(MCUNameEdit, &QLineEdit::textChanged, [this] { MCUNameEditChange(); });

  // Options.
  on(ChkBoxAuDT, &QCheckBox::toggled, [this] { CheckBoxAutClick(); });
  on(ChkBoxProt, &QCheckBox::toggled, [this] { ChkBoxProtClick(); });
  on(CheckBoxSN, &QCheckBox::toggled, [this] { CheckBoxSNClick(); });
  on(ChkBoxSNLen, &QCheckBox::toggled, [this] { ChkBoxSNLenClick(); });
  on(ChkBoxSNDP, &QCheckBox::toggled, [this] { ChkBoxSNDPClick(); });
  connect(RadioGpVoltGroup, &QButtonGroup::idToggled, this, [this](int, bool checked) {
    if (checked) Guarded([this] { RadioGpVoltClick(); });
  });
}

void TProgramArmFrm::BindSerialComponents() {
  for (int k = 0; k < ChannelCount; ++k) {
    serial::TComm* comm = SerComms[k];
    comm->OnReceiveData = [this, k](serial::TComm*, const uint8_t* buffer, uint16_t length) {
      Guarded([this, k, buffer, length] { ops->SerCommReceiveData(k, buffer, length); });
    };
    comm->OnRequestHangup = [this, k](serial::TComm*) {
      Guarded([this, k] { ops->SerCommRequestHangup(k); });
    };
    comm->OnReceiveError = [](serial::TComm*, uint32_t) {};  // line errors are ignored
    st_.CommPorts[k] = comm;
    st_.ChannelGauge[k] = Gauges[k];
    st_.Link[k]->SetPort(comm);
  }
  st_.InfoMemoRef = InfoMemo;
}

void TProgramArmFrm::BindStateHooks() {
  st_.Hooks.ShowViewPage = [this](int i) { ViewPageCtrl->setCurrentIndex(i); };
  st_.Hooks.SetInfoPanel = [this](const std::string& s) { InfoPanel->setText(Utf8(s)); };
  st_.Hooks.SetStatusPanel = [this](int i, const std::string& s) { SetStatusPanel(i, Utf8(s)); };
  st_.Hooks.ShowImageSummary = [this] { ShowImageSummary(); };
  st_.Hooks.ShowInfoData = [this] { ShowInfoData(); };
  st_.Hooks.Beep = [] { ui::Beep(); };
}

// ===========================================================================
// Start-up and window events
// ===========================================================================

void TProgramArmFrm::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  if (!startedUp_) Guarded([this] { FormShow(); });
}

void TProgramArmFrm::FormShow() {
  if (startedUp_) return;
  startedUp_ = true;
  st_.StartupDir = QDir::currentPath().toStdString();

  for (auto* grid : {HexViewer, EEPView}) {
    grid->SetColWidth(0, 70);
    grid->SetColWidth(17, 130);
    for (int col = 1; col <= 16; ++col)
      grid->SetHeaderCell(col, QString::asprintf("  %x", col - 1));
  }
  SetTabSheetEepVisible(false);

  // The whole image, not only its first megabyte: a load of a chip range
  // above 1 MB must not see zero bytes where nothing was loaded.
  rhb::InitialDataBuffer16M(st_.ImageBuffer.get(), 0x2FFFF, 0xFF, link::ImageBufferSize);
  std::memset(st_.InfoBuffer.get(), 0xFF, link::InfoBufferSize);
  std::memset(st_.ProtectConfig.get(), 0xFF, link::ProtectConfigSize);

  auto& s = st_.s;
  st_.FileLoaded = 0;
  st_.ChipSelected = 0;
  s.FlashSizeKBCopy = 8;
  s.ChipFamily = 0;
  s.ChipIndex = 0;
  s.ChipStartAddr = 0;
  st_.ChipEndAddr = 0;
  s.PowerFlags = 0;
  s.ProtectFlags = 0;
  s.AfterProgFlags = 0;
  s.ExtraFlags = 0;
  s.IsApollo3 = 0;
  st_.OnlineCounter = 0;
  s.ClockCode = 0;
  s.PowerStableTime = 5;
  s.DetectFlags = 0;
  s.ConfigOptionByte = 8;
  s.SnLength = 4;
  st_.InfoMemoRef = InfoMemo;

  InitChannelTables();
  LogInfo("Hello KestraGangA4 User!------");
  ViewPageCtrl->setCurrentWidget(TabSheetChip);

  // Search for devices at once; a port that fails to open is reported and
  // ends the search as the Find Device button would.
  Guarded([this] { ops->BitBtnFreshClick(); });
  Guarded([this] { ops->BitBtnFindCOMClick(); });
}

void TProgramArmFrm::InitChannelTables() {
  st_.ChannelsMapped = 0;
  st_.DevicesFound = 0;
  for (int k = 0; k < ChannelCount; ++k) {
    st_.CommPorts[k] = SerComms[k];
    st_.ChannelGauge[k] = Gauges[k];
    st_.Link[k]->SetPort(SerComms[k]);
    st_.ChannelNo[k] = static_cast<uint8_t>(k);
    st_.ChannelState[k] = StateIdle;
  }
}

void TProgramArmFrm::ClosePorts() {
  for (auto* comm : SerComms)
    if (comm && comm->PortHandle() != 0) comm->ClosePort();
}

void TProgramArmFrm::closeEvent(QCloseEvent* e) {
  Guarded([this] { ops->FormClose(); });
  e->accept();
}

void TProgramArmFrm::SpdBtnExitClick() {
  ClosePorts();
  close();
}

void TProgramArmFrm::DevButtonClick() {
  Panel1->setFocus();
  if (!ChipSelectForm || RefusedWhileBusy()) return;
  ChipSelectForm->FormShow();
  ui::Dialogs().ShowModal(*ChipSelectForm);
}

void TProgramArmFrm::About1Click() {
  if (AboutForm) ui::Dialogs().ShowModal(*AboutForm);
}

void TProgramArmFrm::ClearInformation1Click() { InfoMemo->Clear(); }

void TProgramArmFrm::LogInfo(const std::string& Msg) { console::LogInfo(st_, Msg); }

// ===========================================================================
// Settings and chip
// ===========================================================================

void TProgramArmFrm::CollectSettings() {
  SettingsInputs in;
  in.SpinEditPwr = SpinEditPwr->value();
  in.SpinEditInTm = SpinEditInTm->value();
  in.SpinEditOuTim = SpinEditOuTim->value();
  in.ComBoxSpdCLK = ComBoxSpdCLK->currentIndex();
  in.ChkBoxAuDT = ChkBoxAuDT->isChecked();
  in.RadioGpVolt = RadioGpVoltIndex();
  in.ChkBoxEep = ChkBoxEep->isChecked();
  in.ChkBoxMute = ChkBoxMute->isChecked();
  in.ChkBoxProt = ChkBoxProt->isChecked();
  in.ChkBoxShutPow = ChkBoxShutPow->isChecked();
  in.ChkBoxStrChip = ChkBoxStrChip->isChecked();
  in.CheckBoxRst = CheckBoxRst->isChecked();
  in.SNOrderChk = SNOrderChk->isChecked();
  in.ChkBoxSNLen = ChkBoxSNLen->isChecked();
  in.GainEdit = GainEdit->text().toStdString();
  in.CheckBoxSN = CheckBoxSN->isChecked();
  in.SNEdit = SNEdit->text().toStdString();
  in.AddrEdit = AddrEdit->text().toStdString();
  in.EditSNHW = EditSNHW->text().toStdString();
  CollectSettingsCore(st_, in, [this](const std::string& line) { LogInfo(line); });
}

void TProgramArmFrm::MCUNameEditChange() {
  st_.ChipSelected = 1;
  LogInfo("Chip \"" + MCUNameEdit->text().toStdString() + "\" is selectd");
  SetupChipOptions(st_, *this);
  auto& s = st_.s;
  st_.ImageBaseAddr = s.ChipStartAddr;
  st_.ChipEndAddr = s.ChipStartAddr + static_cast<uint32_t>(s.FlashSizeKB) * 1024u - 1u;
  const bool info = s.InfoMemSize != 0;
  ChkBoxEep->setVisible(info);
  WriteChipEepData1->setVisible(info);
  ReadChipEepData1->setVisible(info);
  SetTabSheetEepVisible(info);
  LogInfo("Flash Size=" + std::to_string(s.FlashSizeKB) +
          "KB, EEP Byte=" + std::to_string(s.InfoMemSize) + "B ");
  ShowImageForChip();
}

// The checksums, the summary and the views belong to the chosen chip's range:
// a chip chosen or changed after a load computes them again.
void TProgramArmFrm::ShowImageForChip() {
  if (st_.FileLoaded == 0 && !st_.PartialImage) return;
  ShowImageSummary();
  if (TabSheetEepVisible()) ShowInfoData();
}

// ===========================================================================
// Option handlers
// ===========================================================================

void TProgramArmFrm::CheckBoxAutClick() {
  const bool on = ChkBoxAuDT->isChecked();
  SpinEditInTm->setEnabled(on);
  SpinEditOuTim->setEnabled(on);
  LogInfo(on ? "Auto-Chip Detection is used!" : "Auto-Chip Detection is not used!");
}

void TProgramArmFrm::RadioGpVoltClick() {
  switch (RadioGpVoltIndex()) {
    case 0:
      LogInfo("3V3 Vout is selected!");
      break;
    case 1:
      LogInfo("5V Vout is selected!");
      break;
    case 2:
      LogInfo("1V8 Vout is selected!");
      break;
    default:
      break;
  }
}

void TProgramArmFrm::ChkBoxProtClick() {
  if (!ChkBoxProt->isChecked())
    ui::Dialogs().ShowMessage(
        this, QStringLiteral("For Mass Product, We sugest to Protect/LOCK the Chip!"));
}

void TProgramArmFrm::CheckBoxSNClick() {
  const bool on = CheckBoxSN->isChecked();
  for (QWidget* w :
       std::initializer_list<QWidget*>{AddrEdit, SNEdit, GainEdit, ChkBoxPCSN, ChkBoxSNLen})
    w->setEnabled(on);
  EditSNHW->setEnabled(ChkBoxSNLen->isChecked());
  st_.s.SnEnable = on ? 15 : 0;
  LogInfo(on ? "S/N Function is Enabled!" : "S/N Function is Disabled!");
}

void TProgramArmFrm::AdvanceSerialNumber() {
  const uint32_t next = st_.s.SnValue + st_.s.SnStep;
  SNEdit->setText(ChkBoxSNDP->isChecked() ? QString::number(next)
                                          : QString::asprintf("0x%08X", next));
}

void TProgramArmFrm::ChkBoxSNLenClick() { EditSNHW->setEnabled(ChkBoxSNLen->isChecked()); }

void TProgramArmFrm::ChkBoxSNDPClick() {
  const bool decimal = ChkBoxSNDP->isChecked();
  for (QLineEdit* edit : {SNEdit, EditSNHW}) {
    const auto v = static_cast<uint32_t>(StrToInt64(edit->text().toStdString()));
    edit->setText(decimal ? QString::number(v) : QString::asprintf("0x%08X", v));
  }
}

// ===========================================================================
// Accessors
// ===========================================================================

int TProgramArmFrm::RadioGpVoltIndex() const { return RadioGpVoltGroup->checkedId(); }

void TProgramArmFrm::SetRadioGpVoltIndex(int i) {
  if (i >= 0 && i < 3) RadioGpVoltItems[i]->setChecked(true);
}

QString TProgramArmFrm::StatusPanelText(int i) const {
  return (i >= 0 && i < 4) ? StatusBar1[i]->text() : QString();
}

void TProgramArmFrm::SetStatusPanel(int i, const QString& text) {
  if (i >= 0 && i < 4) StatusBar1[i]->setText(text);
}

bool TProgramArmFrm::TabSheetEepVisible() const {
  return ViewPageCtrl->isTabVisible(ViewPageCtrl->indexOf(TabSheetEep));
}

void TProgramArmFrm::SetTabSheetEepVisible(bool visible) {
  ViewPageCtrl->setTabVisible(ViewPageCtrl->indexOf(TabSheetEep), visible);
}

bool TProgramArmFrm::RefusedWhileBusy() { return RefusedWhileBusy(AnyChannelBusy(st_)); }

bool TProgramArmFrm::RefusedWhileBusy(bool busy) {
  if (!busy) return false;
  ui::Dialogs().InformationBox(
      this, QStringLiteral("Information"),
      QStringLiteral("The programmers are busy: wait until the operation has ended!"));
  return true;
}

}  // namespace kestra::console
