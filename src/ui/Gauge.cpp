#include "ui/Gauge.h"

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>

namespace kestra::ui {

TGauge::TGauge(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void TGauge::SetProgress(int v) {
  const int held = std::clamp(v, 0, max_);
  if (held == progress_) return;
  progress_ = held;
  update();
}

void TGauge::SetMaxValue(int v) {
  const int m = std::max(v, 0);
  if (m == max_) return;
  max_ = m;
  progress_ = std::min(progress_, max_);
  update();
}

void TGauge::SetForeColor(const QColor& c) {
  if (c == fore_) return;
  fore_ = c;
  update();
}

int TGauge::PercentDone() const {
  if (max_ <= 0) return 0;
  return static_cast<int>(static_cast<long long>(progress_) * 100 / max_);
}

QSize TGauge::sizeHint() const { return {160, 20}; }

void TGauge::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect frame = rect().adjusted(0, 0, -1, -1);
  const QRect inner = rect().adjusted(1, 1, -1, -1);
  const bool on = isEnabled();

  p.fillRect(inner, on ? QColor(Qt::white) : palette().color(QPalette::Disabled, QPalette::Window));
  const int filled =
      max_ > 0 ? static_cast<int>(static_cast<long long>(inner.width()) * progress_ / max_) : 0;
  const QRect bar(inner.left(), inner.top(), filled, inner.height());
  const QColor fill = on ? fore_ : QColor(fore_).lighter(170);
  p.fillRect(bar, fill);

  const QString text = QString::number(PercentDone()) + QLatin1Char('%');
  const QColor textOnBack = on ? QColor(Qt::black) : QColor(Qt::gray);
  p.setPen(textOnBack);
  p.drawText(inner, Qt::AlignCenter, text);
  // The part of the text over the bar is drawn in the background colour so it
  // stays readable on blue and red.
  p.save();
  p.setClipRect(bar);
  p.setPen(on ? QColor(Qt::white) : palette().color(QPalette::Disabled, QPalette::Window));
  p.drawText(inner, Qt::AlignCenter, text);
  p.restore();

  p.setPen(on ? palette().color(QPalette::Dark)
              : palette().color(QPalette::Disabled, QPalette::Dark));
  p.drawRect(frame);
}

}  // namespace kestra::ui
