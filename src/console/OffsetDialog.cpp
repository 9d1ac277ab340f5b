#include "console/OffsetDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/IntText.h"
#include "ui/Dialogs.h"

namespace kestra::console {

TFormOfsAddr::TFormOfsAddr(ConsoleState& st, QWidget* centreOn) : st_(st), centreOn_(centreOn) {
  setWindowTitle(QStringLiteral("设置BIN文件偏移地址"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint);
  setModal(true);
  EditOfsAddr = new QLineEdit(QStringLiteral("0x00000000"), this);
  BitBtn1 = new QPushButton(QStringLiteral("OK"), this);
  BitBtn1->setDefault(true);

  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("设置BIN文件偏移地址：         "), this));
  row->addWidget(EditOfsAddr);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(BitBtn1);
  auto* top = new QVBoxLayout(this);
  top->addLayout(row);
  top->addLayout(buttons);
  top->setSizeConstraint(QLayout::SetFixedSize);

  // A bad text is reported, and the dialog still closes with OK.
  connect(BitBtn1, &QPushButton::clicked, this, [this] {
    ui::Guard(this, [this] { BitBtn1Click(); });
    accept();
  });
}

void TFormOfsAddr::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (centreOn_) move(centreOn_->geometry().center() - rect().center());
}

void TFormOfsAddr::FormShow() {
  st_.BinFileOffset = st_.s.ChipStartAddr;
  EditOfsAddr->setText(QString::asprintf("0x%08X", st_.BinFileOffset));
}

void TFormOfsAddr::BitBtn1Click() {
  st_.BinFileOffset = static_cast<uint32_t>(StrToInt(EditOfsAddr->text().toStdString()));
}

}  // namespace kestra::console
