// The About box: a fixed dialog with the product line, the version and an OK
// button.
#pragma once

#include <QDialog>

class QPushButton;

namespace kestra::console {

class TAboutForm : public QDialog {
  Q_OBJECT
 public:
  explicit TAboutForm(QWidget* centreOn = nullptr);

  QPushButton* OKButton = nullptr;

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  QWidget* centreOn_;
};

}  // namespace kestra::console
