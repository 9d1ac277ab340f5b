// A fresh console (state, the four forms) with scripted dialogs and an empty
// serial device table, started up as when its window is first shown.
#pragma once

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <cstdlib>
#include <memory>
#include <string>

#include "console/MainWindow.h"
#include "ui/Memo.h"
#include "ui/ScriptedDialogs.h"

namespace kestra::console::testing {

class ConsoleFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    const QString table = dir.filePath("ports.tab");
    QFile f(table);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    ::setenv("KESTRA_SERIAL_TABLE", table.toLocal8Bit().constData(), 1);
    auto scripted = std::make_unique<ui::ScriptedDialogs>();
    dialogs = scripted.get();
    previous = ui::SetDialogs(std::move(scripted));
    program = std::make_unique<ConsoleProgram>();
    frm().FormShow();
    dialogs->boxes.clear();
  }
  void TearDown() override {
    program.reset();
    ui::SetDialogs(std::move(previous));
  }

  TProgramArmFrm& frm() { return program->ProgramArmFrm; }
  ConsoleState& st() { return program->State; }
  TChipSelectForm& chipForm() { return program->ChipSelectForm; }

  // Chooses a chip through the chip button and the dialog's OK button.
  void ChooseChip(int series, int index) {
    dialogs->onModal = [series, index](QDialog& d) {
      auto& form = dynamic_cast<TChipSelectForm&>(d);
      form.ListBoxSeries->setCurrentRow(series);
      form.ListBoxChips->setCurrentRow(index);
      form.BitBtnOK->click();
      return int(QDialog::Accepted);
    };
    frm().DevButtonClick();
    dialogs->onModal = nullptr;
  }

  bool MemoHas(const QString& text) const {
    for (const QString& line : program->ProgramArmFrm.InfoMemo->Lines())
      if (line.contains(text)) return true;
    return false;
  }
  int MemoCount(const QString& text) const {
    int n = 0;
    for (const QString& line : program->ProgramArmFrm.InfoMemo->Lines())
      if (line.contains(text)) ++n;
    return n;
  }
  std::vector<QString> BoxTexts() const {
    std::vector<QString> out;
    for (const auto& b : dialogs->boxes) out.push_back(b.text);
    return out;
  }
  QString WriteFile(const QString& name, const QByteArray& content) {
    const QString path = dir.filePath(name);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
    return path;
  }

  QTemporaryDir dir;
  ui::ScriptedDialogs* dialogs = nullptr;
  std::unique_ptr<ui::DialogService> previous;
  std::unique_ptr<ConsoleProgram> program;
};

}  // namespace kestra::console::testing
