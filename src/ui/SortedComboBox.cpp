#include "ui/SortedComboBox.h"

#include <QLineEdit>

namespace kestra::ui {
namespace {

// Keeps the edit text across an item change: QComboBox replaces it with the
// current item whenever the item list changes, the console expects it to stay.
class KeepText {
 public:
  explicit KeepText(QComboBox& box) : box_(box), text_(box.lineEdit()->text()) {}
  ~KeepText() {
    if (box_.lineEdit()->text() != text_) box_.setEditText(text_);
  }
  KeepText(const KeepText&) = delete;
  KeepText& operator=(const KeepText&) = delete;

 private:
  QComboBox& box_;
  QString text_;
};

}  // namespace

TSortedComboBox::TSortedComboBox(QWidget* parent) : QComboBox(parent) {
  setEditable(true);
  setInsertPolicy(QComboBox::NoInsert);
  // Texts such as "Select COM......" are no items; no completion from them.
  setCompleter(nullptr);
}

void TSortedComboBox::AddItem(const std::string& s) {
  const QString item = QString::fromStdString(s);
  // After every item that does not sort behind the new one: equal texts keep
  // the order in which they were added.
  int lo = 0;
  int hi = count();
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (QString::compare(itemText(mid), item, Qt::CaseInsensitive) <= 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  KeepText keep(*this);
  insertItem(lo, item);
}

std::string TSortedComboBox::Item(int i) const {
  if (i < 0 || i >= count()) return {};
  return itemText(i).toStdString();
}

void TSortedComboBox::DeleteItem(int i) {
  if (i < 0 || i >= count()) return;
  KeepText keep(*this);
  removeItem(i);
}

void TSortedComboBox::Clear() {
  KeepText keep(*this);
  clear();
}

void TSortedComboBox::SetText(const std::string& s) { setEditText(QString::fromStdString(s)); }

std::string TSortedComboBox::Text() const { return lineEdit()->text().toStdString(); }

}  // namespace kestra::ui
