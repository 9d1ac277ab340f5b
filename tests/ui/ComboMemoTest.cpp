#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "ui/Memo.h"
#include "ui/SortedComboBox.h"

namespace kestra::ui {
namespace {

std::vector<std::string> Items(const TSortedComboBox& box) {
  std::vector<std::string> items;
  for (int i = 0; i < box.Count(); ++i) items.push_back(box.Item(i));
  return items;
}

TEST(SortedComboBox, KeepsCaseInsensitiveTextOrder) {
  TSortedComboBox box;
  for (const char* s : {"COM3", "COM12", "com1", "COM20", "Com12"}) box.AddItem(s);
  // Equal texts keep the order they came in.
  EXPECT_EQ(Items(box), (std::vector<std::string>{"com1", "COM12", "Com12", "COM20", "COM3"}));
  box.DeleteItem(1);
  box.DeleteItem(99);
  box.DeleteItem(-1);
  EXPECT_EQ(Items(box), (std::vector<std::string>{"com1", "Com12", "COM20", "COM3"}));
  EXPECT_EQ(box.Item(4), "");
}

TEST(SortedComboBox, TextIsItsOwnAndSurvivesItemChanges) {
  TSortedComboBox box;
  box.SetText("Select COM......");
  EXPECT_EQ(box.Text(), "Select COM......");
  box.AddItem("COM3");
  box.AddItem("COM12");
  EXPECT_EQ(box.Text(), "Select COM......");
  box.SetText(box.Item(box.Count() - 1));
  EXPECT_EQ(box.Text(), "COM3");
  box.DeleteItem(1);
  EXPECT_EQ(box.Text(), "COM3");
  box.Clear();
  EXPECT_EQ(box.Count(), 0);
  EXPECT_EQ(box.Text(), "COM3");
  box.SetText("No Device Availiable!");
  EXPECT_EQ(box.Text(), "No Device Availiable!");
}

TEST(Memo, CountsLinesAndSavesThemAsUtf8) {
  TMemo memo;
  EXPECT_TRUE(memo.isReadOnly());
  memo.Add("> 10:00:00 Hello KestraGangA4 User!------");
  memo.Add(QString::fromUtf8("启动烧写"));
  memo.Add("");
  memo.Add("two\nlines");
  ASSERT_EQ(memo.Count(), 5);
  EXPECT_EQ(memo.Line(1), QString::fromUtf8("启动烧写"));
  EXPECT_EQ(memo.Line(4), "lines");
  EXPECT_EQ(memo.blockCount(), 5);  // the view shows what Count says

  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath("exit.log");
  {
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("an older and much longer file that must be replaced entirely\n");
  }
  ASSERT_TRUE(memo.SaveUnsavedLines(path));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), QByteArray("> 10:00:00 Hello KestraGangA4 User!------\n") +
                                QString::fromUtf8("启动烧写").toUtf8() + "\n\ntwo\nlines\n");

  memo.Clear();
  EXPECT_EQ(memo.Count(), 0);
  EXPECT_TRUE(memo.toPlainText().isEmpty());
  ASSERT_TRUE(memo.SaveUnsavedLines(path));
  EXPECT_EQ(QFile(path).size(), 0);
}

TEST(Memo, LeadingEmptyLinesAreLinesOfTheirOwn) {
  TMemo memo;
  memo.Add("");
  memo.Add("");
  memo.Add("third");
  EXPECT_EQ(memo.Count(), 3);
  EXPECT_EQ(memo.blockCount(), 3);
  EXPECT_EQ(memo.toPlainText(), "\n\nthird");
}

TEST(Memo, SaveFailsWhereItCannotWrite) {
  TMemo memo;
  memo.Add("line");
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  EXPECT_FALSE(memo.SaveUnsavedLines(dir.filePath("missing/sub/exit.log")));
  EXPECT_FALSE(memo.SaveUnsavedLines(dir.path()));  // a folder, not a file
}

TEST(Memo, ManyLinesStayInStep) {
  TMemo memo;
  for (int i = 0; i < 20000; ++i) memo.Add(QString::number(i));
  EXPECT_EQ(memo.Count(), 20000);
  EXPECT_EQ(memo.Line(19999), "19999");
  EXPECT_EQ(memo.blockCount(), 20000);
}

// The view keeps the newest lines only; every line still reaches exactly one
// file: the next save after it was added, however far it scrolled out.
TEST(Memo, ViewKeepsTheNewestLinesAndEachLineIsSavedOnce) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  auto content = [&](const char* name) {
    QFile f(dir.filePath(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
  };
  TMemo memo;
  QStringList added;
  QObject::connect(&memo, &TMemo::LineAdded, [&](const QString& l) { added << l; });
  memo.SetMaxLines(5);
  for (int i = 0; i < 10; ++i) memo.Add(QString::number(i));
  memo.Add("10\n11");
  EXPECT_EQ(memo.Lines(), QStringList({"7", "8", "9", "10", "11"}));
  EXPECT_EQ(memo.blockCount(), 5);
  EXPECT_EQ(memo.toPlainText(), "7\n8\n9\n10\n11");
  EXPECT_EQ(added.size(), 12);

  ASSERT_TRUE(memo.SaveUnsavedLines(dir.filePath("a.log")));
  EXPECT_EQ(content("a.log"), "0\n1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n");
  EXPECT_TRUE(memo.UnsavedText().isEmpty());

  // A failed save keeps its lines for the next one.
  memo.Add("12");
  EXPECT_FALSE(memo.SaveUnsavedLines(dir.filePath("missing/b.log")));
  memo.Add("13");
  ASSERT_TRUE(memo.SaveUnsavedLines(dir.filePath("b.log")));
  EXPECT_EQ(content("b.log"), "12\n13\n");

  // Saved again under the same name (the same second): the file grows.
  memo.Add("14");
  ASSERT_TRUE(memo.SaveUnsavedLines(dir.filePath("b.log")));
  EXPECT_EQ(content("b.log"), "12\n13\n14\n");
  // A file this memo did not write last is replaced.
  memo.Add("15");
  ASSERT_TRUE(memo.SaveUnsavedLines(dir.filePath("a.log")));
  EXPECT_EQ(content("a.log"), "15\n");

  memo.SetMaxLines(2);
  EXPECT_EQ(memo.Lines(), QStringList({"14", "15"}));
  EXPECT_EQ(memo.blockCount(), 2);

  // Beyond the maximum the view drops a tenth of it at once.
  memo.SetMaxLines(20);
  for (int i = 16; i <= 60; ++i) memo.Add(QString::number(i));
  EXPECT_LE(memo.Count(), 20);
  EXPECT_GE(memo.Count(), 18);
  EXPECT_EQ(memo.blockCount(), memo.Count());
  EXPECT_EQ(memo.Line(0), QString::number(61 - memo.Count()));
  EXPECT_EQ(memo.Line(memo.Count() - 1), "60");
}

}  // namespace
}  // namespace kestra::ui
