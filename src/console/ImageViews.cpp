// The main window's image files and data views: object file loads, raw saves,
// info data files, the summary and checksums, the two hex views, and the check
// that the serial numbers lie inside the chip. Parsing, writing and checksums
// are the companion library's. The views show the image as loaded: the serial
// numbers go into each channel's packets, never into the image.
#include <QByteArray>
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "companion/KestraRHB.h"
#include "console/ChannelProgress.h"
#include "console/Formatted.h"
#include "console/MainWindow.h"
#include "console/OffsetDialog.h"
#include "platform/LocalTime.h"
#include "ui/Dialogs.h"
#include "ui/HexGrid.h"

namespace kestra::console {

namespace {

const char* const DotLine = "...........................................";  // 43 dots

std::string Path8(const QString& path) { return QFile::encodeName(path).toStdString(); }

// "<what> "<path>" failed at line <n>: <reason>" (the line only when known).
std::string FailureText(const char* what, const QString& path, const rhb::RhbError& err) {
  std::string text = std::string(what) + " \"" + path.toStdString() + "\" failed";
  if (err.line != 0) text += " at line " + std::to_string(err.line);
  text += ": ";
  text += err.message[0] ? err.message : rhb::RhbResultText(err.code);
  return text;
}

// An object file is read by the three letters after the dot of its extension:
// "HEX" (also .HEXA) Intel HEX, "S19" Motorola S-records, anything else raw binary.
enum class ObjectKind { IntelHex, SRecords, RawBinary };

ObjectKind KindOf(const QString& path) {
  const QString kind = QFileInfo(path).suffix().toUpper().left(3);
  if (kind == QLatin1String("HEX")) return ObjectKind::IntelHex;
  if (kind == QLatin1String("S19")) return ObjectKind::SRecords;
  return ObjectKind::RawBinary;
}

}  // namespace

// ---------------------------------------------------------------------------
// Object files
// ---------------------------------------------------------------------------

void TProgramArmFrm::FileOpenBtnClick() {
  if (RefusedWhileBusy()) return;
  const auto path =
      ui::Dialogs().OpenFile(this, QString::fromUtf8(OpenDialogFilter), OpenDialogFilterIndex);
  if (!path || RefusedAsEmptyBinary(*path)) return;
  rhb::InitialDataBuffer16M(st_.ImageBuffer.get(), 0x2FFFF, 0xFF, link::ImageBufferSize);
  st_.PartialImage = false;  // nothing of an earlier file is left
  ProductEdit->setText(QFileInfo(*path).fileName());
  SetStatusPanel(2, *path);
  LoadObjectFile(*path);
}

void TProgramArmFrm::SpdBtnLD2Click() {
  if (RefusedWhileBusy()) return;
  const auto path =
      ui::Dialogs().OpenFile(this, QString::fromUtf8(OpenDialogFilter), OpenDialogFilterIndex);
  if (path && !RefusedAsEmptyBinary(*path)) LoadObjectFile(*path);
}

bool TProgramArmFrm::RefusedAsEmptyBinary(const QString& FileName) {
  // A record file without data is the library's to refuse (it reads the
  // records); a raw file is copied as it is, so its size alone tells. Only a
  // regular file has a size that says so; anything else goes to the library.
  const QFileInfo file(FileName);
  if (KindOf(FileName) != ObjectKind::RawBinary || !file.isFile() || file.size() != 0) return false;
  rhb::RhbError err;
  err.code = rhb::RhbNoDataRecords;
  std::snprintf(err.message, sizeof err.message, "the file holds no data");
  const std::string text = FailureText("Load of", FileName, err);
  LogInfo(text);
  ui::Dialogs().ShowMessage(this, QString::fromStdString(text));
  return true;
}

bool TProgramArmFrm::LoadObjectFile(const QString& FileName) {
  // After a failed load the image may hold part of that file: only a fresh
  // Load makes it programmable again (a read-out's FileLoaded stays).
  if (!st_.PartialImage) st_.FileLoaded = 1;
  LogInfo("Load object file of \"" + FileName.toStdString() + "\".");
  const std::string name = Path8(FileName);
  const ObjectKind kind = KindOf(FileName);
  uint8_t* image = st_.ImageBuffer.get();
  rhb::RhbError err;
  int32_t rc;
  bool stored = false;  // this file wrote the address cells
  if (kind != ObjectKind::RawBinary) {
    const auto load = kind == ObjectKind::IntelHex ? rhb::ExeOpenFile_HEX_RoutAndRT
                                                   : rhb::ExeOpenFile_S19_RoutAndRT;
    uint32_t start = 1, end = 0;  // the library writes both (start <= end) or neither
    rc = load(name.c_str(), image, &start, &end, link::ImageBufferSize, &err);
    stored = start <= end;
    if (stored) {
      st_.FileStartAddr = start;
      st_.FileEndAddr = end;
    }
  } else {
    if (FormOfsAddr) {
      FormOfsAddr->FormShow();
      ui::Dialogs().ShowModal(*FormOfsAddr);
    }
    const uint32_t offset = st_.BinFileOffset & ~0xFu;
    if (offset >= link::ImageBufferSize) {
      rc = rhb::RhbBeyondImage;
      err.code = rc;
      std::snprintf(err.message, sizeof err.message, "offset 0x%08X is outside the 3 MB image",
                    static_cast<unsigned>(offset));
    } else {
      uint32_t end = 0xFFFFFFFF;  // the library writes it only when bytes were copied
      rc = rhb::DoOpenFile_BIN_Routine(name.c_str(), image + offset, &end,
                                       link::ImageBufferSize - offset, &err);
      stored = end != 0xFFFFFFFF;
      if (stored) st_.FileEndAddr = offset + end;
    }
  }
  if (rc != rhb::RhbOk) {
    // What did load is shown below, but a half-loaded image is never
    // programmed: the commands that need a file refuse until a good Load.
    st_.FileLoaded = 0;
    st_.PartialImage = true;
    const std::string text = FailureText("Load of", FileName, err);
    LogInfo(text);
    ui::Dialogs().ShowMessage(this, QString::fromStdString(text));
  } else if (err.warning[0]) {
    LogInfo("Warning: \"" + FileName.toStdString() + "\" may be incomplete: " + err.warning + ".");
  }
  // A failed load that stored nothing has no addresses of its own to show.
  if (rc == rhb::RhbOk || stored) {
    LogInfo(Formatted("File Start Address = 0x%06X.", st_.FileStartAddr));
    LogInfo(Formatted("File End Address   = 0x%06X.", st_.FileEndAddr));
  }
  ShowImageSummary();
  if (TabSheetEepVisible()) ShowInfoData();
  return rc == rhb::RhbOk;
}

void TProgramArmFrm::FileSaveBtnClick() {
  if (st_.FileLoaded == 0) {
    ui::Dialogs().ShowMessage(this, QStringLiteral("No data to be saved!"));
    return;
  }
  if (st_.ChipSelected == 0) {  // no chip range to save
    ui::Dialogs().InformationBox(this, QStringLiteral("Information"),
                                 QStringLiteral("Please select the chip type!"));
    return;
  }
  const auto path = ui::Dialogs().SaveFile(this, QString::fromUtf8(SaveDialogFilter),
                                           QString::fromUtf8(SaveDialogDefaultExt));
  if (!path) {
    ui::Dialogs().ShowMessage(this, QStringLiteral("No data to be saved!"));
    return;
  }
  rhb::RhbError err;
  const int32_t rc =
      rhb::DoSaveToBinaryFile(Path8(*path).c_str(), st_.ImageBuffer.data(), st_.s.ChipStartAddr,
                              st_.ChipEndAddr, link::ImageBufferSize, &err);
  if (rc != rhb::RhbOk) {
    const std::string text = FailureText("Save of", *path, err);
    LogInfo(text);
    ui::Dialogs().ShowMessage(this, QString::fromStdString(text));
    return;
  }
  ui::Dialogs().ShowMessage(this, QStringLiteral("File \"%1\" has saved").arg(*path));
}

// ---------------------------------------------------------------------------
// Info data files
// ---------------------------------------------------------------------------

void TProgramArmFrm::LoadEepData1Click() {
  if (RefusedWhileBusy()) return;
  const auto path =
      ui::Dialogs().OpenFile(this, QString::fromUtf8(OpenDialogFilter), OpenDialogFilterIndex);
  if (!path) return;
  LogInfo("Load Info Data file of \"" + path->toStdString() + "\" at " + platform::ShortDateText() +
          "," + platform::LongTimeText());
  QFile file(*path);
  if (!file.open(QIODevice::ReadOnly))
    throw std::runtime_error("Cannot open file \"" + path->toStdString() +
                             "\": " + file.errorString().toStdString());
  const uint32_t size = st_.s.InfoMemSize;
  // One byte more than the info memory tells a file that is too long.
  const QByteArray data = file.read(static_cast<qint64>(size) + 1);
  if (file.error() != QFileDevice::NoError)
    throw std::runtime_error("Cannot read file \"" + path->toStdString() +
                             "\": " + file.errorString().toStdString());
  const auto stored = static_cast<uint32_t>(std::min<qsizetype>(data.size(), size));
  std::copy_n(reinterpret_cast<const uint8_t*>(data.constData()), stored, st_.InfoBuffer.get());
  if (static_cast<uint32_t>(data.size()) > size)
    ui::Dialogs().ShowMessage(this, QStringLiteral("File is out of buffer!!!"));
  file.close();
  ShowInfoData();
}

void TProgramArmFrm::SaveEepData1Click() {
  const auto path = ui::Dialogs().SaveFile(this, QString::fromUtf8(SaveDialogFilter),
                                           QString::fromUtf8(SaveDialogDefaultExt));
  if (!path) return;
  rhb::RhbError err;
  const int32_t rc = rhb::DoSaveToBinaryFile(Path8(*path).c_str(), st_.InfoBuffer.data(), 0,
                                             static_cast<uint32_t>(st_.s.InfoMemSize) - 1u,
                                             link::InfoBufferSize, &err);
  if (rc != rhb::RhbOk) {
    const std::string text = FailureText("Save of info data to", *path, err);
    LogInfo(text);
    ui::Dialogs().ShowMessage(this, QString::fromStdString(text));
    return;
  }
  ui::Dialogs().ShowMessage(
      this, QStringLiteral("EEP dtat has been saved to file of \"%1\"!").arg(*path));
}

// ---------------------------------------------------------------------------
// Summary, checksums and views
// ---------------------------------------------------------------------------

void TProgramArmFrm::ShowImageSummary() {
  AddMemoLine(st_, " ");
  AddMemoLine(st_, DotLine);
  if (st_.ChipSelected) {
    LogInfo(Formatted("Chip Start Address = 0x%06X.", st_.s.ChipStartAddr));
    LogInfo(Formatted("Chip End Address   = 0x%06X.", st_.ChipEndAddr));
    ShowImageChecksums(st_.s.ChipStartAddr, st_.ChipEndAddr);
    FillHexView(st_.s.ChipStartAddr, st_.ChipEndAddr);
  }
  AddMemoLine(st_, DotLine);
}

void TProgramArmFrm::ShowImageChecksums(uint32_t First, uint32_t Last) {
  const uint8_t* image = st_.ImageBuffer.data();
  st_.s.ImageCrc =
      static_cast<uint16_t>(rhb::GetTolvexCheckSum(image, First, Last, link::ImageBufferSize));
  st_.s.ImageSum =
      static_cast<uint16_t>(rhb::GetBinaryCheckSum(image, First, Last, link::ImageBufferSize));
  const uint16_t acc = static_cast<uint16_t>(0x10000u - st_.s.ImageSum);
  SetStatusPanel(0, QString::fromStdString(Formatted("AccSum:0x%04X", acc)));
  SetStatusPanel(1, QString::fromStdString(Formatted("CRCSum:0x%04X", st_.s.ImageCrc)));
  LogInfo(Formatted("Chip ACC CheckSum  = 0x%04X/0x%04X", acc, st_.s.ImageSum));
  LogInfo(Formatted("Chip CRC CheckSum  = 0x%04X", st_.s.ImageCrc));
  AddMemoLine(st_, DotLine);
}

void TProgramArmFrm::FillHexView(uint32_t First, uint32_t Last) {
  HexViewer->ClearRows();
  if (Last < First || First >= link::ImageBufferSize) return;
  if (Last >= link::ImageBufferSize) Last = link::ImageBufferSize - 1;
  const uint32_t length = Last - First + 1;
  const uint32_t rows = length / 16 + (length % 16 != 0 ? 1 : 0);
  const uint32_t r0 = First / 16;
  HexViewer->ReserveRows(static_cast<int>(rows));
  for (uint32_t i = 0; i < rows; ++i) {
    const uint32_t addr = (r0 + i) * 16;
    HexViewer->AddRow(addr, st_.ImageBuffer.data() + addr);
  }
}

void TProgramArmFrm::ShowInfoData() {
  const uint8_t* info = st_.InfoBuffer.data();
  const uint32_t size = st_.s.InfoMemSize;
  const uint32_t last = size - 1u;  // 0xFFFFFFFF without info memory: checksums 0
  st_.s.InfoCrc =
      static_cast<uint16_t>(rhb::GetTolvexCheckSum(info, 0, last, link::InfoBufferSize));
  st_.s.InfoSum = static_cast<uint16_t>(0x10000u - static_cast<uint16_t>(rhb::GetBinaryCheckSum(
                                                       info, 0, last, link::InfoBufferSize)));
  LogInfo(Formatted("Chip Info ACC CheckSum = 0x%04X", st_.s.InfoSum));
  LogInfo(Formatted("Chip Info CRC CheckSum = 0x%04X", st_.s.InfoCrc));
  EEPView->ClearRows();
  const uint32_t rows = std::min<uint32_t>(size, link::InfoBufferSize) / 16;
  EEPView->ReserveRows(static_cast<int>(rows));
  bool programmed = false;
  for (uint32_t i = 0; i < rows; ++i) {
    const uint8_t* bytes = info + i * 16;
    EEPView->AddRow(st_.s.InfoMemStart + i * 16, bytes);
    for (int b = 0; b < 16 && !programmed; ++b) programmed = bytes[b] != 0xFF;
  }
  ChkBoxEep->setChecked(programmed);
}

bool TProgramArmFrm::OnlineSerialFitsChip() {
  const uint64_t first = st_.s.SnAddr;
  const uint64_t last = first + (st_.s.SnLength == 8 ? 8u : 4u) - 1;
  if (first >= st_.s.ChipStartAddr && last <= st_.ChipEndAddr) return true;
  const std::string text = Formatted(
      "Serial No address 0x%08X..0x%08llX is outside the chip (0x%08X..0x%08X), nothing was "
      "started!",
      static_cast<unsigned>(first), static_cast<unsigned long long>(last),
      static_cast<unsigned>(st_.s.ChipStartAddr), static_cast<unsigned>(st_.ChipEndAddr));
  LogInfo(text);
  ui::Dialogs().InformationBox(this, QStringLiteral("Information"), QString::fromStdString(text));
  return false;
}

}  // namespace kestra::console
