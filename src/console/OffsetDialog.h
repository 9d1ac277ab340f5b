// The offset dialog of raw binary loads: the image offset at which the file's
// first byte is placed (the chip's program start by default).
#pragma once

#include <QDialog>

#include "console/ConsoleState.h"

class QLineEdit;
class QPushButton;

namespace kestra::console {

class TFormOfsAddr : public QDialog {
  Q_OBJECT
 public:
  // centreOn: the window the dialog is centred on when shown (may be null).
  TFormOfsAddr(ConsoleState& st, QWidget* centreOn = nullptr);

  // Default offset: BinFileOffset := ChipStartAddr, shown in the edit.
  void FormShow();
  // BinFileOffset := the edit's value; raises EConvertError on a bad text
  // (BinFileOffset then keeps the FormShow value).
  void BitBtn1Click();

  QLineEdit* EditOfsAddr = nullptr;
  QPushButton* BitBtn1 = nullptr;

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  ConsoleState& st_;
  QWidget* centreOn_;
};

}  // namespace kestra::console
