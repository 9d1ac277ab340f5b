// The upgrade tool's About box.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace kestra::upgrade {

class TAboutForm : public QDialog {
  Q_OBJECT
 public:
  explicit TAboutForm(QWidget* parent = nullptr);

  QLabel* ProductName = nullptr;
  QLabel* Version = nullptr;
  QLabel* ReleaseDate = nullptr;
  QLabel* Maker = nullptr;
  QPushButton* OKButton = nullptr;
};

}  // namespace kestra::upgrade
