// Object file loads, the offset dialog, checksums, hex views, serial-number
// placement, info data files and saves.
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <cstring>

#include "ConsoleFixture.h"
#include "companion/KestraRHB.h"
#include "console/Operations.h"
#include "ui/HexGrid.h"

namespace kestra::console::testing {
namespace {

// One Intel HEX data record.
QByteArray HexRecord(uint16_t addr, const QByteArray& data, uint8_t type = 0) {
  QByteArray rec;
  rec.append(char(data.size()));
  rec.append(char(addr >> 8));
  rec.append(char(addr & 0xFF));
  rec.append(char(type));
  rec.append(data);
  uint8_t sum = 0;
  for (char c : rec) sum = uint8_t(sum + uint8_t(c));
  rec.append(char(uint8_t(-sum)));
  return ":" + rec.toHex().toUpper() + "\r\n";
}
QByteArray HexFile(uint16_t addr, const QByteArray& data) {
  return HexRecord(addr, data) + ":00000001FF\r\n";
}

class ImageFilesTest : public ConsoleFixture {
 protected:
  // Answers the offset dialog of a raw binary load with the given text.
  void AnswerOffset(const QString& text) {
    dialogs->onModal = [text](QDialog& d) {
      auto& form = dynamic_cast<TFormOfsAddr&>(d);
      form.EditOfsAddr->setText(text);
      form.BitBtn1->click();
      return int(QDialog::Accepted);
    };
  }
  void Load(const QString& path) {
    dialogs->openAnswers.push_back(path);
    ui::Guard(&frm(), [this] { frm().FileOpenBtnClick(); });
  }
  const uint8_t* image() { return st().ImageBuffer.get(); }
};

TEST_F(ImageFilesTest, ExtensionSelectsTheParser) {
  const QByteArray data("\x01\x02\x03\x04", 4);
  const QByteArray hex = HexFile(0x0010, data);
  struct Case {
    const char* name;
    bool isHex;
  } cases[] = {{"PROG.hex", true}, {"prog.HEXA", true}, {"prog.s28", false}, {"prog", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AnswerOffset("0x00000100");
    Load(WriteFile(c.name, hex));
    EXPECT_EQ(st().FileLoaded, 1);
    if (c.isHex) {
      EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(image()) + 0x10, 4), data);
      EXPECT_EQ(image()[0x100], 0xFF);
    } else {
      // The text of the file itself lands at the dialog's offset.
      EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(image()) + 0x100, hex.size()), hex);
      EXPECT_EQ(image()[0x10], 0xFF);
      EXPECT_EQ(st().FileEndAddr, 0x100u + hex.size() - 1);
    }
    EXPECT_EQ(frm().ProductEdit->text(), c.name);
    EXPECT_EQ(frm().StatusPanelText(2), dir.filePath(c.name));
    EXPECT_TRUE(dialogs->boxes.empty());
  }
}

TEST_F(ImageFilesTest, RawOffsetIsRoundedDownAndDefaultsToTheChipStart) {
  AnswerOffset("0x0000C00F");
  Load(WriteFile("a.bin", "XYZ"));
  EXPECT_EQ(image()[0xC000], 'X');
  EXPECT_EQ(image()[0xC00F], 0xFF);

  ChooseChip(2, 8);  // AMA3B1KK-KBR starts at 0xC000
  dialogs->onModal = [](QDialog& d) {
    EXPECT_EQ(dynamic_cast<TFormOfsAddr&>(d).EditOfsAddr->text(), "0x0000C000");
    return int(QDialog::Accepted);  // closed without OK: FormShow's offset
  };
  Load(WriteFile("b.bin", "Q"));
  EXPECT_EQ(st().BinFileOffset, 0xC000u);
  EXPECT_EQ(image()[0xC000], 'Q');
}

TEST_F(ImageFilesTest, LoadMoreKeepsTheFirstFile) {
  Load(WriteFile("first.hex", HexFile(0x0000, QByteArray(16, '\x11'))));
  dialogs->openAnswers.push_back(WriteFile("second.hex", HexFile(0x0008, QByteArray(4, '\x22'))));
  frm().SpdBtnLD2Click();
  EXPECT_EQ(image()[0x07], 0x11);
  EXPECT_EQ(image()[0x08], 0x22);
  EXPECT_EQ(image()[0x0B], 0x22);
  EXPECT_EQ(image()[0x0C], 0x11);
  EXPECT_EQ(frm().ProductEdit->text(), "first.hex");
  // A new Load starts from an erased image again.
  Load(WriteFile("third.hex", HexFile(0x0100, QByteArray(1, '\x33'))));
  EXPECT_EQ(image()[0x00], 0xFF);
}

TEST_F(ImageFilesTest, SummaryChecksumsAndHexView) {
  ChooseChip(0, 0);  // PAC5210xx, 0 .. 0x7FFF
  QByteArray row("AB\x1F\x7F\x80\xFF", 6);
  Load(WriteFile("v.hex", HexFile(0x0010, row)));
  EXPECT_TRUE(MemoHas("Chip Start Address = 0x000000."));
  EXPECT_TRUE(MemoHas("Chip End Address   = 0x007FFF."));
  EXPECT_TRUE(MemoHas("File Start Address = 0x000010."));
  EXPECT_TRUE(MemoHas("File End Address   = 0x000015."));
  auto& hv = *frm().HexViewer;
  EXPECT_EQ(hv.RowCount(), 1 + 0x8000 / 16);
  EXPECT_EQ(hv.Cell(0, 2), "0x00000010");
  EXPECT_EQ(hv.Cell(1, 2), "41");
  EXPECT_EQ(hv.Cell(6, 2), "FF");
  EXPECT_EQ(hv.Cell(17, 2), "AB.\x7F............");
  EXPECT_TRUE(frm().StatusPanelText(0).startsWith("AccSum:0x"));

  // The additive checksum shows negated.
  std::memset(st().ImageBuffer.get(), 0, 32);
  std::memset(st().ImageBuffer.get(), 0xFF, 18);
  st().ImageBuffer[18] = 70;  // 18 * 0xFF + 70 = 0x1234
  frm().ShowImageChecksums(0, 31);
  EXPECT_EQ(st().s.ImageSum, 0x1234);
  EXPECT_EQ(frm().StatusPanelText(0), "AccSum:0xEDCC");
  EXPECT_TRUE(MemoHas("Chip ACC CheckSum  = 0xEDCC/0x1234"));
  std::memset(st().ImageBuffer.get(), 0, 32);
  frm().ShowImageChecksums(0, 31);
  EXPECT_EQ(frm().StatusPanelText(0), "AccSum:0x0000");
  EXPECT_EQ(frm().StatusPanelText(1), "CRCSum:0x0000");
}

TEST_F(ImageFilesTest, LoadWithoutAChipLeavesViewsAlone) {
  Load(WriteFile("n.hex", HexFile(0, "x")));
  EXPECT_EQ(frm().HexViewer->RowCount(), 1);
  EXPECT_EQ(frm().StatusPanelText(0), "AccSum:");
  EXPECT_FALSE(MemoHas("Chip Start Address"));
  EXPECT_EQ(MemoCount("..........................................."), 2);
}

TEST_F(ImageFilesTest, MalformedFileIsReportedWithItsLine) {
  Load(WriteFile("bad.hex", HexRecord(0, "ok") + ":10000000ZZ\r\n"));
  EXPECT_EQ(st().FileLoaded, 0);
  EXPECT_TRUE(MemoHas("Load of \"" + dir.filePath("bad.hex") + "\" failed at line 2: "));
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_TRUE(dialogs->boxes[0].text.contains("failed at line 2"));
  EXPECT_EQ(image()[0], 'o');  // the good record before it stays
}

// A failed load leaves part of its file in the image: no later load but a
// fresh, good Load makes the image programmable again.
TEST_F(ImageFilesTest, FailedLoadKeepsTheImageUnprogrammableUntilAFreshGoodLoad) {
  const QString good = WriteFile("good.hex", HexFile(0x0000, QByteArray(4, '\x11')));
  const QString more = WriteFile("more.hex", HexFile(0x0020, QByteArray(4, '\x22')));
  const QString bad = WriteFile("bad.hex", HexRecord(0x0040, "half") + ":10000000ZZ\r\n");
  enum Action { Fresh, More, ReadOut };
  const struct {
    Action action;
    QString file;
    uint8_t fileLoaded;
  } steps[] = {
      {More, more, 1},   // Load More into the start-up image
      {Fresh, bad, 0},   // half of bad.hex stays in the image
      {More, good, 0},   // adds its data, the image is still half
      {More, more, 0},   // so does every further Load More
      {Fresh, good, 1},  // until a fresh good Load
      {More, bad, 0},    // a failed Load More leaves half a file too
      {More, more, 0},   // and keeps it so
      {ReadOut, {}, 1},  // a chip read-out replaces the chip range
      {More, more, 1},   // and a good Load More keeps it programmable
      {More, bad, 0},    // half a file again
      {Fresh, bad, 0},   // a failed fresh Load
      {Fresh, good, 1},  // a good one
  };
  int n = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE("step " + std::to_string(++n));
    if (step.action == ReadOut) {
      st().FileLoaded = 1;  // what the end of a main-memory read-out stores
      continue;
    }
    dialogs->openAnswers.push_back(step.file);
    if (step.action == Fresh)
      frm().FileOpenBtnClick();
    else
      frm().SpdBtnLD2Click();
    EXPECT_EQ(st().FileLoaded, step.fileLoaded);
  }
}

// A file without data is no image. A record file without data is a failed
// load that shows no addresses of an earlier file. A raw binary file without a
// byte is refused before anything is touched, by Load and Load More alike: the
// image, the name shown, the checksums and FileLoaded stay those of the good
// load before it, and no offset is asked for.
TEST_F(ImageFilesTest, FileWithoutDataIsAFailedLoad) {
  enum Action { Fresh, More };
  const char* const noRecords = "no data records";
  const char* const noBytes = "the file holds no data";
  const struct {
    const char* name;
    QByteArray content;
    Action action;
    const char* reason;
    bool kept;  // nothing of the good load before changes
  } cases[] = {
      {"empty.hex", "", Fresh, noRecords, false},
      {"eof-only.hex", ":00000001FF\r\n", Fresh, noRecords, false},
      {"empty.s19", "", Fresh, noRecords, false},
      {"terminator-only.s19", "S0030000FC\r\nS9030000FC\r\n", Fresh, noRecords, false},
      {"empty.bin", "", Fresh, noBytes, true},
      {"empty.bin", "", More, noBytes, true},
      {"empty", "", Fresh, noBytes, true},  // no extension: raw binary
      {"empty.s28", "", More, noBytes, true},
  };
  ChooseChip(0, 0);
  int offsetDialogs = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.action == More ? " (Load More)" : " (Load)"));
    Load(WriteFile("first.hex", HexFile(0x0010, "abc")));
    ASSERT_EQ(st().FileLoaded, 1);
    const QByteArray image(reinterpret_cast<const char*>(st().ImageBuffer.data()),
                           link::ImageBufferSize);
    const uint16_t sum = st().s.ImageSum, crc = st().s.ImageCrc;
    const QStringList panels = {frm().StatusPanelText(0), frm().StatusPanelText(1),
                                frm().StatusPanelText(2)};
    const int before = frm().InfoMemo->Count();
    dialogs->boxes.clear();
    dialogs->onModal = [&offsetDialogs](QDialog&) {
      ++offsetDialogs;
      return int(QDialog::Accepted);
    };
    offsetDialogs = 0;
    dialogs->openAnswers.push_back(WriteFile(c.name, c.content));
    ui::Guard(&frm(), [&] {
      if (c.action == Fresh)
        frm().FileOpenBtnClick();
      else
        frm().SpdBtnLD2Click();
    });
    dialogs->onModal = nullptr;

    ASSERT_EQ(dialogs->boxes.size(), 1u);
    const QString text = "Load of \"" + dir.filePath(c.name) + "\" failed: " + c.reason;
    EXPECT_EQ(dialogs->boxes[0].text, text);
    const QStringList lines = frm().InfoMemo->Lines().mid(before);
    EXPECT_EQ(lines.filter(text).size(), 1) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.filter("File Start Address").isEmpty());
    EXPECT_TRUE(lines.filter("File End Address").isEmpty());
    if (!c.kept) {
      EXPECT_EQ(st().FileLoaded, 0);
      continue;
    }
    EXPECT_EQ(st().FileLoaded, 1);
    EXPECT_EQ(offsetDialogs, 0);
    EXPECT_TRUE(QByteArray(reinterpret_cast<const char*>(st().ImageBuffer.data()),
                           link::ImageBufferSize) == image);
    EXPECT_EQ(frm().ProductEdit->text().toStdString(), "first.hex");
    EXPECT_EQ(st().s.ImageSum, sum);
    EXPECT_EQ(st().s.ImageCrc, crc);
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(frm().StatusPanelText(i).toStdString(), panels[i].toStdString()) << "panel " << i;
  }
}

// Files that load but may be cut short say so in one log line, before the
// operator programs a batch from them.
TEST_F(ImageFilesTest, IncompleteFileLoadsWithOneWarningLine) {
  const struct {
    const char* name;
    QByteArray content;
    const char* missing;  // empty: no warning
  } cases[] = {
      {"whole.hex", HexFile(0x0010, "abc"), ""},
      {"cut.hex", HexRecord(0x0010, "abc"), "no end-of-file record (type 01)"},
      {"whole.s19", "S104001042A9\r\nS5030001FB\r\nS9030000FC\r\n", ""},
      {"miscounted.s19", "S104001042A9\r\nS5030002FA\r\nS9030000FC\r\n",
       "S5 record count 2 does not match the 1 data records before it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int before = frm().InfoMemo->Count();
    const QString path = WriteFile(c.name, c.content);
    Load(path);
    EXPECT_EQ(st().FileLoaded, 1);
    EXPECT_TRUE(dialogs->boxes.empty());
    const QStringList warnings = frm().InfoMemo->Lines().mid(before).filter("Warning");
    if (*c.missing == '\0') {
      EXPECT_TRUE(warnings.isEmpty());
      continue;
    }
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(
        warnings[0].endsWith(" Warning: \"" + path + "\" may be incomplete: " + c.missing + "."))
        << warnings[0].toStdString();
  }
}

// A folder given as the object file, and a byte-order mark before the first
// record.
TEST_F(ImageFilesTest, FolderAndByteOrderMark) {
  ASSERT_TRUE(QDir(dir.path()).mkdir("images.hex"));
  Load(dir.filePath("images.hex"));
  EXPECT_EQ(st().FileLoaded, 0);
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_TRUE(dialogs->boxes[0].text.contains("is a folder"))
      << dialogs->boxes[0].text.toStdString();
  EXPECT_FALSE(dialogs->boxes[0].text.contains("read error"));

  dialogs->boxes.clear();
  Load(WriteFile("bom.hex", "\xEF\xBB\xBF" + HexFile(0x0010, "abc")));
  EXPECT_TRUE(dialogs->boxes.empty());
  EXPECT_EQ(st().FileLoaded, 1);
  EXPECT_EQ(image()[0x10], 'a');
}

TEST_F(ImageFilesTest, InfoFileUpToTheInfoMemorySize) {
  ChooseChip(2, 0);  // 2048 bytes of info memory
  dialogs->openAnswers.push_back(WriteFile("i.bin", QByteArray(2048, '\x5A')));
  frm().LoadEepData1Click();
  EXPECT_TRUE(dialogs->boxes.empty());
  EXPECT_EQ(st().InfoBuffer[2047], 0x5A);
  EXPECT_TRUE(frm().ChkBoxEep->isChecked());
  EXPECT_EQ(frm().EEPView->RowCount(), 1 + 2048 / 16);
  EXPECT_EQ(frm().EEPView->Cell(0, 1), "0x50020000");

  dialogs->openAnswers.push_back(WriteFile("j.bin", QByteArray(2049, '\xFF')));
  frm().LoadEepData1Click();
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(dialogs->boxes[0].text, "File is out of buffer!!!");
  EXPECT_EQ(st().InfoBuffer[2047], 0xFF);
  EXPECT_EQ(st().InfoBuffer[2048], 0xFF);
  EXPECT_FALSE(frm().ChkBoxEep->isChecked());  // all 0xFF
  EXPECT_TRUE(MemoHas("Chip Info CRC CheckSum = 0x"));
}

TEST_F(ImageFilesTest, InfoFileThatCannotBeOpenedGoesToTheErrorBox) {
  ChooseChip(2, 0);
  dialogs->openAnswers.push_back(dir.filePath("missing.bin"));
  ui::Guard(&frm(), [this] { frm().LoadEepData1Click(); });
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(dialogs->boxes[0].kind, ui::ScriptedDialogs::Box::Error);
}

TEST_F(ImageFilesTest, SaveNeedsData) {
  dialogs->saveAnswers.push_back(dir.filePath("never.bin"));
  frm().FileSaveBtnClick();
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(dialogs->boxes[0].text, "No data to be saved!");
  EXPECT_FALSE(QFile::exists(dir.filePath("never.bin")));
}

TEST_F(ImageFilesTest, SaveNeedsAChip) {
  Load(WriteFile("d.hex", HexFile(0x0000, "E")));
  ASSERT_EQ(st().FileLoaded, 1);
  dialogs->boxes.clear();
  dialogs->saveAnswers.push_back(dir.filePath("never.bin"));
  frm().FileSaveBtnClick();
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(dialogs->boxes[0].kind, ui::ScriptedDialogs::Box::Information);
  EXPECT_EQ(dialogs->boxes[0].text, "Please select the chip type!");
  EXPECT_EQ(dialogs->saveAnswers.size(), 1u) << "the save dialog was shown";
  EXPECT_FALSE(QFile::exists(dir.filePath("never.bin")));
}

TEST_F(ImageFilesTest, SaveWritesTheChipRangeOrSaysWhyNot) {
  ChooseChip(0, 0);
  Load(WriteFile("d.hex", HexFile(0x7FFF, "E")));
  const QString good = dir.filePath("out.bin");
  dialogs->saveAnswers.push_back(good);
  frm().FileSaveBtnClick();
  QFile f(good);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QByteArray saved = f.readAll();
  EXPECT_EQ(saved.size(), 0x8000);
  EXPECT_EQ(saved.back(), 'E');
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(dialogs->boxes[0].text, "File \"" + good + "\" has saved");

  dialogs->boxes.clear();
  const QString bad = dir.filePath("no/such/dir/out.bin");
  dialogs->saveAnswers.push_back(bad);
  frm().FileSaveBtnClick();
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_TRUE(dialogs->boxes[0].text.startsWith("Save of \"" + bad + "\" failed"));
  EXPECT_FALSE(dialogs->boxes[0].text.contains("has saved"));
  EXPECT_TRUE(MemoHas("Save of \"" + bad + "\" failed"));
}

TEST_F(ImageFilesTest, InfoSave) {
  ChooseChip(2, 0);
  const QString path = dir.filePath("info.bin");
  dialogs->saveAnswers.push_back(path);
  frm().SaveEepData1Click();
  EXPECT_EQ(QFileInfo(path).size(), 2048);
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(dialogs->boxes[0].text, "EEP dtat has been saved to file of \"" + path + "\"!");
}

// The checksums, the summary and the views follow the chip: a chip chosen or
// changed after the load shows those of its own range (and the info data's
// when it has info memory).
TEST_F(ImageFilesTest, ChipChosenAfterTheLoadTakesItsOwnRange) {
  struct Case {
    int beforeSeries, beforeIndex;  // -1: no chip before the load
    int series, index;
    uint32_t last;
  } cases[] = {{-1, 0, 0, 0, 0x7FFF}, {0, 3, 0, 10, 0x1FFFF}, {-1, 0, 2, 4, 0x1FFFF}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.series * 100 + c.index);
    if (c.beforeSeries >= 0) ChooseChip(c.beforeSeries, c.beforeIndex);
    // Bytes inside a 32 KB chip and beyond it.
    Load(WriteFile("r.hex", HexRecord(0x7FF0, "inside") + HexFile(0xFFF0, "beyond")));
    ChooseChip(c.series, c.index);
    EXPECT_EQ(st().ChipEndAddr, c.last);
    const auto sum = uint16_t(rhb::GetBinaryCheckSum(image(), 0, c.last, link::ImageBufferSize));
    EXPECT_EQ(st().s.ImageSum, sum);
    EXPECT_EQ(st().s.ImageCrc,
              uint16_t(rhb::GetTolvexCheckSum(image(), 0, c.last, link::ImageBufferSize)));
    EXPECT_EQ(frm().StatusPanelText(0),
              QString::asprintf("AccSum:0x%04X", uint16_t(0x10000 - sum)));
    EXPECT_EQ(frm().HexViewer->RowCount(), 1 + int(c.last + 1) / 16);
    const uint32_t info = st().s.InfoMemSize;
    if (info == 0) continue;
    EXPECT_EQ(st().s.InfoCrc, uint16_t(rhb::GetTolvexCheckSum(st().InfoBuffer.get(), 0, info - 1,
                                                              link::InfoBufferSize)));
    EXPECT_EQ(frm().EEPView->RowCount(), 1 + int(info) / 16);
  }
}

TEST_F(ImageFilesTest, SavesFollowLinksAndRefuseWhatIsNoFile) {
  ChooseChip(2, 6);  // APOLLO064-KCR: 64 KB and 2048 bytes of info memory
  Load(WriteFile("d.hex", HexFile(0x0000, "E")));
  enum Kind { Link, LinkToLink, Dangling, Fifo };
  struct Save {
    const char* what;
    void (TProgramArmFrm::*click)();
    qint64 size;
  } saves[] = {{"image", &TProgramArmFrm::FileSaveBtnClick, 0x10000},
               {"info", &TProgramArmFrm::SaveEepData1Click, 2048}};
  int n = 0;
  for (const auto& save : saves) {
    for (Kind kind : {Link, LinkToLink, Dangling, Fifo}) {
      SCOPED_TRACE(std::string(save.what) + " " + std::to_string(int(kind)));
      const QString folder = dir.filePath(QString("s%1").arg(n++));
      ASSERT_TRUE(QDir().mkpath(folder + "/a") && QDir().mkpath(folder + "/b"));
      const std::string f = folder.toStdString();
      const QString named = folder + "/name";  // what the operator types
      QString target = folder + "/b/t.bin";    // where the bytes must go
      switch (kind) {
        case Link:
          WriteFile(QString("s%1/b/t.bin").arg(n - 1), "old");
          ::chmod((f + "/b/t.bin").c_str(), 0600);
          ASSERT_EQ(::symlink("b/t.bin", (f + "/name").c_str()), 0);
          break;
        case LinkToLink:
          WriteFile(QString("s%1/b/t.bin").arg(n - 1), "old");
          ::chmod((f + "/b/t.bin").c_str(), 0600);
          ASSERT_EQ(::symlink("../b/t.bin", (f + "/a/l2").c_str()), 0);
          ASSERT_EQ(::symlink("a/l2", (f + "/name").c_str()), 0);
          break;
        case Dangling:
          ASSERT_EQ(::symlink("b/new.bin", (f + "/name").c_str()), 0);
          target = folder + "/b/new.bin";
          break;
        case Fifo:
          ASSERT_EQ(::mkfifo((f + "/name").c_str(), 0600), 0);
          break;
      }
      dialogs->boxes.clear();
      dialogs->saveAnswers.push_back(named);
      (frm().*save.click)();
      ASSERT_EQ(dialogs->boxes.size(), 1u);
      const QString box = dialogs->boxes[0].text;
      struct stat st {};
      ASSERT_EQ(::lstat((f + "/name").c_str(), &st), 0);
      if (kind == Fifo) {
        EXPECT_TRUE(box.contains("not a regular file")) << box.toStdString();
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot),
                  QStringList{"name"});
        continue;
      }
      EXPECT_TRUE(box.contains(named) && !box.contains("failed")) << box.toStdString();
      EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
      EXPECT_EQ(QFileInfo(target).size(), save.size);
      ASSERT_EQ(::stat(target.toStdString().c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, kind == Dangling ? 0644u : 0600u);
      EXPECT_EQ(QDir(folder + "/b").entryList(QDir::Files),
                QStringList{QFileInfo(target).fileName()});
    }
  }
}

}  // namespace
}  // namespace kestra::console::testing
