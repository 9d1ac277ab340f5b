#include "upgrade/AboutFwUpEPS.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace kestra::upgrade {

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About"));
  auto* layout = new QVBoxLayout(this);
  auto bold = [](QLabel* label) {
    QFont f = label->font();
    f.setBold(true);
    label->setFont(f);
    return label;
  };
  ProductName =
      bold(new QLabel(QStringLiteral("KestraGangA4_GBRx Firmware Upgrade Wizard."), this));
  Version = bold(new QLabel(QStringLiteral("Version V1.9"), this));
  ReleaseDate = new QLabel(QStringLiteral("Release 2022-06-29"), this);
  Maker = new QLabel(QStringLiteral("Kestra programming systems"), this);
  OKButton = new QPushButton(QStringLiteral("OK"), this);
  OKButton->setDefault(true);
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
  for (QLabel* label : {ProductName, Version, ReleaseDate, Maker}) layout->addWidget(label);
  layout->addWidget(OKButton, 0, Qt::AlignHCenter);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  adjustSize();
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

}  // namespace kestra::upgrade
