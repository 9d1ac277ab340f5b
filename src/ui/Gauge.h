// A progress gauge that keeps its progress within [0, maximum] when either is
// set, with a settable foreground colour and a percentage text.
#pragma once

#include <QColor>
#include <QWidget>

namespace kestra::ui {

class TGauge : public QWidget {
  Q_OBJECT
 public:
  explicit TGauge(QWidget* parent = nullptr);

  int Progress() const { return progress_; }
  void SetProgress(int v);  // held within [0, MaxValue]
  int MaxValue() const { return max_; }
  void SetMaxValue(int v);  // progress above the new maximum is held at it
  QColor ForeColor() const { return fore_; }
  void SetForeColor(const QColor& c);
  int PercentDone() const;

 protected:
  void paintEvent(QPaintEvent*) override;
  QSize sizeHint() const override;

 private:
  int progress_ = 0;
  int max_ = 100;
  QColor fore_ = Qt::blue;
};

inline const QColor GaugeBlue = QColor(0, 0, 255);
inline const QColor GaugeRed = QColor(255, 0, 0);

}  // namespace kestra::ui
