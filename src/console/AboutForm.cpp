#include "console/AboutForm.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace kestra::console {

TAboutForm::TAboutForm(QWidget* centreOn) : centreOn_(centreOn) {
  setWindowTitle(QStringLiteral("About"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint);
  setModal(true);

  // Two pictures: the program's and the chip maker's marks (standard icons
  // stand in for them).
  auto* picture1 = new QLabel(this);
  picture1->setPixmap(style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(48, 48));
  auto* picture2 = new QLabel(this);
  picture2->setPixmap(style()->standardIcon(QStyle::SP_DriveHDIcon).pixmap(48, 48));
  auto* line1 = new QLabel(QStringLiteral("KestraGangA4 Programmer for Arm Cortex Chips"), this);
  auto* line2 = new QLabel(QStringLiteral("Version V1.7"), this);
  OKButton = new QPushButton(QStringLiteral("OK"), this);
  OKButton->setDefault(true);
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

  auto* texts = new QVBoxLayout;
  texts->addWidget(line1);
  texts->addWidget(line2);
  auto* body = new QHBoxLayout;
  body->addWidget(picture1);
  body->addLayout(texts);
  body->addWidget(picture2);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKButton);
  buttons->addStretch();
  auto* top = new QVBoxLayout(this);
  top->addLayout(body);
  top->addLayout(buttons);
  top->setSizeConstraint(QLayout::SetFixedSize);
}

void TAboutForm::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (centreOn_) move(centreOn_->geometry().center() - rect().center());
}

}  // namespace kestra::console
