#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QFileDialog>
#include <QTest>
#include <QTimer>
#include <stdexcept>

#include "ui/KeyPreview.h"
#include "ui/ScriptedDialogs.h"

namespace kestra::ui {
namespace {

// Answers the dialogs of one test and puts the previous service back.
class WithScriptedDialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    auto scripted = std::make_unique<ScriptedDialogs>();
    dialogs = scripted.get();
    previous_ = SetDialogs(std::move(scripted));
  }
  void TearDown() override { SetDialogs(std::move(previous_)); }
  ScriptedDialogs* dialogs = nullptr;

 private:
  std::unique_ptr<DialogService> previous_;
};

using GuardTest = WithScriptedDialogs;

TEST_F(GuardTest, ShowsTheTextOfAnEscapingException) {
  QGuiApplication::setApplicationDisplayName("KestraGangA4 Programmer Wizard");
  QWidget window;
  bool after = false;
  Guard(&window, [&] {
    throw std::runtime_error("'0x00G0' is not a valid integer value");
    after = true;
  });
  EXPECT_FALSE(after);
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(dialogs->boxes[0].kind, ScriptedDialogs::Box::Error);
  EXPECT_EQ(dialogs->boxes[0].caption, "KestraGangA4 Programmer Wizard");
  EXPECT_EQ(dialogs->boxes[0].text, "'0x00G0' is not a valid integer value");

  Guard(&window, [] { throw 42; });
  EXPECT_EQ(dialogs->boxes.size(), 2u);
  Guard(&window, [&] { after = true; });
  EXPECT_TRUE(after);
  EXPECT_EQ(dialogs->boxes.size(), 2u);
}

TEST_F(GuardTest, OnSignalRunsHandlersGuardedAndOnProgrammaticChanges) {
  QWidget form;
  auto* box = new QCheckBox(&form);
  int clicks = 0;
  OnSignal(box, &QCheckBox::toggled, &form, [&] {
    ++clicks;
    if (box->isChecked()) throw std::runtime_error("from the handler");
  });
  box->setChecked(true);
  box->setChecked(true);  // no change, no call
  box->setChecked(false);
  EXPECT_EQ(clicks, 2);
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(dialogs->boxes[0].text, "from the handler");
}

TEST_F(WithScriptedDialogs, AnswersFromQueues) {
  dialogs->openAnswers.push_back(QString("/tmp/prog.hex"));
  dialogs->openAnswers.push_back(std::nullopt);
  EXPECT_EQ(Dialogs().OpenFile(nullptr, "All Files (*.*)|*.*", 1), QString("/tmp/prog.hex"));
  EXPECT_EQ(Dialogs().OpenFile(nullptr, "", 1), std::nullopt);
  EXPECT_EQ(Dialogs().OpenFile(nullptr, "", 1), std::nullopt);  // empty queue: cancelled
  EXPECT_EQ(Dialogs().SaveFile(nullptr, "", ""), std::nullopt);

  QDialog form;
  EXPECT_EQ(Dialogs().ShowModal(form), QDialog::Accepted);
  dialogs->onModal = [](QDialog& d) {
    d.setWindowTitle("seen");
    return int{QDialog::Rejected};
  };
  EXPECT_EQ(Dialogs().ShowModal(form), QDialog::Rejected);
  EXPECT_EQ(form.windowTitle(), "seen");

  Dialogs().ShowMessage(nullptr, "No data to be saved!");
  Dialogs().InformationBox(nullptr, "Info", "text");
  ASSERT_EQ(dialogs->boxes.size(), 2u);
  EXPECT_EQ(dialogs->boxes[0].kind, ScriptedDialogs::Box::Message);
  EXPECT_EQ(dialogs->boxes[0].text, "No data to be saved!");
  EXPECT_EQ(dialogs->boxes[1].kind, ScriptedDialogs::Box::Information);
}

// Boxes asked for inside WithBoxesAfter open once the outermost handler has
// returned, in the order asked, also those a box's own loop asks for while
// boxes still wait; file dialogs are never held; a handler that throws still
// gets its boxes shown, then the exception goes on.
TEST_F(WithScriptedDialogs, BoxesAskedInsideAHandlerOpenWhenItHasReturned) {
  std::vector<std::string> events;
  auto ask = [&](const char* text) {
    events.push_back(std::string("ask ") + text);
    Dialogs().ErrorBox(nullptr, "E", text);
  };
  bool nestedRun = false;
  dialogs->whileOpen = [&](const ScriptedDialogs::Box& box) {
    events.push_back("open " + box.text.toStdString());
    if (box.text == "first" && !nestedRun) {
      nestedRun = true;  // as bytes delivered by the box's event loop
      WithBoxesAfter([&] {
        ask("from the loop");
        events.push_back("loop handler returns");
      });
    }
  };
  dialogs->openAnswers.push_back(QString("/tmp/a.hex"));
  WithBoxesAfter([&] {
    ask("first");
    WithBoxesAfter([&] { ask("inner"); });
    EXPECT_EQ(Dialogs().OpenFile(nullptr, "", 1), QString("/tmp/a.hex"));
    EXPECT_TRUE(dialogs->boxes.empty());
    events.push_back("handler returns");
  });
  const std::vector<std::string> want = {"ask first",  "ask inner",         "handler returns",
                                         "open first", "ask from the loop", "loop handler returns",
                                         "open inner", "open from the loop"};
  EXPECT_EQ(events, want);

  dialogs->boxes.clear();
  dialogs->whileOpen = nullptr;
  EXPECT_THROW(WithBoxesAfter([&] {
                 Dialogs().ShowMessage(nullptr, "before the failure");
                 throw std::runtime_error("failed");
               }),
               std::runtime_error);
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  Dialogs().InformationBox(nullptr, "I", "outside: at once");
  EXPECT_EQ(dialogs->boxes.size(), 2u);
}

TEST(FileDialogFilters, PairsBecomeQtFilters) {
  const QString open =
      "All Files (*.*)|*.*|All Binary Files (*.Bin)|*.Bin|All Intel Hex Files (*.Hex)|*.Hex|"
      "All Motorola Hex Files(*.S19,*.Sxx)|*.S19;*.Sx|"
      "All Hex/Binary Files (*.Hex,*.S1*,*.Bin)|*.Hex;*.S1*;*.Bin";
  EXPECT_EQ(
      FileDialogFilters(open),
      (QStringList{"All Files (*.*)", "All Binary Files (*.Bin *.bin *.BIN)",
                   "All Intel Hex Files (*.Hex *.hex *.HEX)",
                   "All Motorola Hex Files (*.S19 *.s19 *.Sx *.sx *.SX)",
                   "All Hex/Binary Files (*.Hex *.hex *.HEX *.S1* *.s1* *.Bin *.bin *.BIN)"}));
  EXPECT_EQ(FileDialogFilters("All Binary Files(*.BIN)|*.BIN"),
            QStringList{"All Binary Files (*.BIN *.bin)"});
  EXPECT_TRUE(FileDialogFilters("").isEmpty());
  EXPECT_TRUE(FileDialogFilters("dangling description").isEmpty());
}

TEST(QtDialogs, OpenFileSelectsTheFilterByIndexAndCancelGivesNothing) {
  auto previous = SetDialogs(nullptr);  // the real dialogs
  QString selected;
  bool seen = false;
  std::function<void()> answer = [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!dialog) {
      QTimer::singleShot(10, answer);
      return;
    }
    seen = true;
    selected = dialog->selectedNameFilter();
    dialog->reject();
  };
  QTimer::singleShot(0, answer);
  const auto result =
      Dialogs().OpenFile(nullptr, "All Files (*.*)|*.*|All Binary Files (*.Bin)|*.Bin", 2);
  SetDialogs(std::move(previous));
  EXPECT_TRUE(seen);
  EXPECT_EQ(result, std::nullopt);
  EXPECT_EQ(selected, "All Binary Files (*.Bin *.bin *.BIN)");
}

}  // namespace
}  // namespace kestra::ui
