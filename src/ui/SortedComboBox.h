// A combo box whose items stay in case-insensitive text order ("COM12" sorts
// before "COM3"), with a settable edit text.
#pragma once

#include <QComboBox>
#include <string>

namespace kestra::ui {

class TSortedComboBox : public QComboBox {
  Q_OBJECT
 public:
  explicit TSortedComboBox(QWidget* parent = nullptr);

  void AddItem(const std::string& s);  // inserted at its sorted place
  int Count() const { return count(); }
  std::string Item(int i) const;
  void DeleteItem(int i);
  void Clear();  // items only; the text stays
  void SetText(const std::string& s);
  std::string Text() const;
};

}  // namespace kestra::ui
