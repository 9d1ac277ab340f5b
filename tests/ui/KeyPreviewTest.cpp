#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>
#include <QWindow>
#include <stdexcept>

#include "ui/KeyPreview.h"
#include "ui/ScriptedDialogs.h"

namespace kestra::ui {
namespace {

class KeyPreviewTest : public ::testing::Test {
 protected:
  KeyPreviewTest() : edit(new QLineEdit(&window)), button(new QPushButton("Auto", &window)) {
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(edit);
    layout->addWidget(button);
    new KeyPreview(&window, [this](int key) {
      keys.push_back(key);
      if (throwOnKey) throw std::runtime_error("handler failed");
    });
  }
  QWidget window;
  QLineEdit* edit;
  QPushButton* button;
  std::vector<int> keys;
  bool throwOnKey = false;
};

TEST_F(KeyPreviewTest, SeesKeyboardKeysOnceWhateverControlHasTheFocus) {
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, 10000));
  QWindow* keyboard = window.windowHandle();
  ASSERT_NE(keyboard, nullptr);
  edit->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.focusWidget() == edit; }, 10000));
  QTest::keyClick(keyboard, Qt::Key_Space);
  QTest::keyClick(keyboard, Qt::Key_A);
  // The edit does not take Enter: it goes on to the window, reported once.
  QTest::keyClick(keyboard, Qt::Key_Return);
  EXPECT_EQ(edit->text(), " a");  // the edit still got its keys

  // The callback may move the focus, as the Auto command does.
  button->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.focusWidget() == button; }, 10000));
  QTest::keyClick(keyboard, Qt::Key_Enter);
  QTest::keyClick(keyboard, Qt::Key_Space);
  QTest::keyClick(keyboard, Qt::Key_Shift);  // no character
  EXPECT_EQ(keys, (std::vector<int>{32, 'a', 13, 13, 32}));
}

TEST_F(KeyPreviewTest, SeesKeysSentStraightToAControl) {
  QTest::keyClick(edit, Qt::Key_Space);
  QTest::keyClick(edit, Qt::Key_Space);
  QTest::keyClick(edit, Qt::Key_Return);  // handed on to the window, reported once
  QTest::keyClick(button, Qt::Key_Enter);
  EXPECT_EQ(keys, (std::vector<int>{32, 32, 13, 13}));
  EXPECT_EQ(edit->text(), "  ");
}

TEST_F(KeyPreviewTest, KeysOfOtherWindowsAreNotSeen) {
  QWidget other;
  auto* otherEdit = new QLineEdit(&other);
  QTest::keyClick(otherEdit, Qt::Key_Space);
  EXPECT_TRUE(keys.empty());
  EXPECT_EQ(otherEdit->text(), " ");
}

TEST_F(KeyPreviewTest, AFailingCallbackIsReportedAndTheKeyStillArrives) {
  auto scripted = std::make_unique<ScriptedDialogs>();
  ScriptedDialogs* dialogs = scripted.get();
  auto previous = SetDialogs(std::move(scripted));
  throwOnKey = true;
  QTest::keyClick(edit, Qt::Key_Space);
  const auto boxes = dialogs->boxes;
  SetDialogs(std::move(previous));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "handler failed");
  EXPECT_EQ(edit->text(), " ");
}

}  // namespace
}  // namespace kestra::ui
