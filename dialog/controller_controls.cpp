// SPDX-License-Identifier: MIT
// The parameter controls: every slider/field pair driven by one piece of code from the table of
// controls, the five smoothing buttons, the smoothing mode and the 360-degree check box.
#include <QCheckBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>

#include <cmath>
#include <optional>

#include <tmlib/tmlib.h>

#include "controller.h"
#include "parameter_table.h"
#include "platform/resources.h"
#include "ui_BrightloomFilter.h"

namespace brightloom::dialog {
namespace {

// The value rounded as the integer controls store it: a fraction above one half rounds up, so
// 49.5 gives 49 and 49.51 gives 50.
int round_half_down(float value) {
  const int n = int(value);
  return double(value) - double(n) > 0.5 ? n + 1 : n;
}

double gamma_of(double position) { return std::exp(std::log(2.0) * (50.0 - position) / 50.0); }

QString tenths(double v) { return QString::asprintf("%1.1f", v); }

size_t index_of(const ParameterControl &c) { return size_t(&c - kParameterControls.data()); }

// A typed number: in the C locale, as the dialog itself writes its fields, or in the user's,
// whose decimal separator may be a comma ("2,5" in German). Group separators are not taken:
// "1.000" is one, not a thousand. Nothing when neither reads it, or it is not finite.
std::optional<double> typed_number(const QString &text) {
  const QString t = text.trimmed();
  for (QLocale locale : {QLocale::c(), QLocale()}) {
    locale.setNumberOptions(locale.numberOptions() | QLocale::RejectGroupSeparator);
    bool ok = false;
    const double v = locale.toDouble(t, &ok);
    if (ok && std::isfinite(v)) return v;
  }
  return std::nullopt;
}

QIcon smoothing_image(bool selected) {
  return QIcon(resource_folder() +
               (selected ? QStringLiteral("/images/SmoothingGrey.png") : QStringLiteral("/images/SmoothingWhite.png")));
}

}  // namespace

void ToneMappingPluginController::connectControls() {
  sliderTimers_.assign(kParameterControls.size(), nullptr);
  for (const ParameterControl &c : kParameterControls) {
    auto *slider = window_->findChild<QSlider *>(QString::fromLatin1(c.slider));
    auto *text = window_->findChild<QLineEdit *>(QString::fromLatin1(c.text));
    if (slider == nullptr || text == nullptr) continue;
    if (c.scale == Scale::Integer) {
      slider->setSingleStep(slider_units(c.scale));
      slider->setPageStep(10 * slider_units(c.scale));
    }
    // The delayed second half of a move: restarted by every move, it runs once the run loop
    // turns with no move pending, so a burst of moves gives one update.
    auto *timer = new QTimer(window_.get());
    timer->setSingleShot(true);
    timer->setInterval(0);
    sliderTimers_[index_of(c)] = timer;
    const int code = c.code;
    connect(timer, &QTimer::timeout, this, [this, code] { sliderDone(code); });
    connect(slider, &QSlider::valueChanged, this, [this, code] { setParam(code); });
    connect(text, &QLineEdit::editingFinished, this, [this, code] { typeParam(code); });
    text->installEventFilter(this);
  }
  ui_->stpPreviewSize->installEventFilter(this);
  for (int i = 0; i < int(kSmoothingButtons.size()); ++i)
    if (auto *b = window_->findChild<QPushButton *>(QString::fromLatin1(kSmoothingButtons[size_t(i)])))
      connect(b, &QPushButton::clicked, this, [this, i] { setSmoothing(i); });
  connect(ui_->chkCont, &QCheckBox::clicked, this, &ToneMappingPluginController::setCont);
  connect(ui_->chkPano, &QCheckBox::clicked, this, &ToneMappingPluginController::set360);
}

void ToneMappingPluginController::setParam(int code) {
  const ParameterControl *c = control_of(code);
  if (c == nullptr) return;
  auto *slider = window_->findChild<QSlider *>(QString::fromLatin1(c->slider));
  auto *text = window_->findChild<QLineEdit *>(QString::fromLatin1(c->text));
  const double v = double(slider->value()) / slider_units(c->scale);
  switch (c->scale) {
    case Scale::Integer:
      // Shadows clipping shows the whole part; the others round as printf does.
      text->setText(code == 111 ? QString::number(int(v)) : QString::asprintf("%1.0f", v));
      break;
    case Scale::Tenths:
      text->setText(tenths(v));
      break;
    case Scale::Clip:
      text->setText(QString::number(double(float(double(slider2param(int(v), _valPower)) * 0.00005)), 'g', 3));
      break;
    case Scale::Gamma:
      text->setText(QString::asprintf("%1.2f", gamma_of(v)));
      break;
  }
  _currentSliderChanged = code;
  sliderTimers_[index_of(*c)]->start();
}

void ToneMappingPluginController::sliderDone(int code) {
  const ParameterControl *c = control_of(code);
  if (c == nullptr) return;
  auto *slider = window_->findChild<QSlider *>(QString::fromLatin1(c->slider));
  if (c->scale == Scale::Clip) {
    updateParam(code, float(double(slider2param(slider->value(), _valPower)) * 0.00005));
    return;
  }
  updateParam(code, float(double(slider->value()) / slider_units(c->scale)));
}

void ToneMappingPluginController::finishPendingSliderMoves() {
  for (size_t i = 0; i < sliderTimers_.size(); ++i) {
    QTimer *timer = sliderTimers_[i];
    if (timer == nullptr || !timer->isActive()) continue;
    timer->stop();
    sliderDone(kParameterControls[i].code);
  }
}

void ToneMappingPluginController::typeParam(int code) {
  const ParameterControl *c = control_of(code);
  if (c == nullptr) return;
  auto *text = window_->findChild<QLineEdit *>(QString::fromLatin1(c->text));
  // What is not a number is refused: the field shows the value in force again.
  const std::optional<double> number = typed_number(text->text());
  if (!number) {
    showControl(*c);
    return;
  }
  double typed = *number;
  if (c->scale == Scale::Clip || c->scale == Scale::Gamma) {
    const double v = std::clamp(typed, double(c->lo), double(c->hi));
    if (v != typed) text->setText(QString::number(v));
    if (c->scale == Scale::Gamma) {
      updateParam(code, float(50.0 * (1.0 - std::log(v) / std::log(2.0))));
      return;
    }
    updateParam(code, float(v));
    return;
  }
  // The other fields clamp by the whole part of the number: 10.7 in a -10..10 field stands.
  const long whole = long(std::trunc(std::clamp(typed, -1e9, 1e9)));
  if (whole < long(c->lo)) {
    typed = c->lo;
    text->setText(QString::number(int(c->lo)));
  } else if (whole > long(c->hi)) {
    typed = c->hi;
    text->setText(QString::number(int(c->hi)));
  }
  updateParam(code, float(typed));
}

bool ToneMappingPluginController::eventFilter(QObject *watched, QEvent *event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent *>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      // The field takes the key as it always does (and commits its value); the key then ends
      // there instead of reaching the dialog, which would press OK with it.
      watched->event(event);
      event->accept();
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

void ToneMappingPluginController::updateParam(int code, float value) {
  const ParameterControl *c = control_of(code);
  if (c == nullptr) return;
  if (c->scale == Scale::Integer) {
    const int n = round_half_down(value);
    if (n == values_.*c->intValue) {
      // The field may still show what was typed or dragged: it shows the value again.
      showControl(*c);
      return;
    }
    values_.*c->intValue = n;
  } else {
    if (value == values_.*c->value) {
      showControl(*c);
      return;
    }
    values_.*c->value = value;
  }
  showControl(*c);
  sendUpdateTMPreviewNotif(0);
}

void ToneMappingPluginController::showControl(const ParameterControl &c) {
  auto *slider = window_->findChild<QSlider *>(QString::fromLatin1(c.slider));
  auto *text = window_->findChild<QLineEdit *>(QString::fromLatin1(c.text));
  if (slider == nullptr || text == nullptr) return;
  const QSignalBlocker quietSlider(slider), quietText(text);
  const int units = slider_units(c.scale);
  if (c.scale == Scale::Integer) {
    const int v = values_.*c.intValue;
    slider->setValue(v * units);
    text->setText(QString::number(v));
    return;
  }
  const double v = double(values_.*c.value);
  switch (c.scale) {
    case Scale::Tenths:
      slider->setValue(int(std::lround(v * units)));
      text->setText(tenths(v));
      break;
    case Scale::Clip: {
      // The clip scale of the method the slider belongs to: a power for "Details Enhancer",
      // linear for "Tone Compressor".
      const double inv = c.code < 200 ? 1.0 / (std::log(0.025) / std::log(0.3)) : 1.0;
      slider->setValue(paramf2slider(v, inv));
      text->setText(QString::number(v, 'g', 3));
      break;
    }
    case Scale::Gamma:
      slider->setValue(int(std::lround(v * units)));
      text->setText(QString::asprintf("%1.2f", gamma_of(v)));
      break;
    case Scale::Integer:
      break;
  }
}

void ToneMappingPluginController::setSmoothing(int index) {
  if (values_._valSmooth == 2 - index) {
    // A second click keeps the level pressed and changes nothing.
    if (auto *b = window_->findChild<QPushButton *>(QString::fromLatin1(kSmoothingButtons[size_t(index)])))
      b->setChecked(true);
    return;
  }
  updateSmoothing(index);
}

void ToneMappingPluginController::updateSmoothing(int index) {
  for (int i = 0; i < int(kSmoothingButtons.size()); ++i) {
    auto *b = window_->findChild<QPushButton *>(QString::fromLatin1(kSmoothingButtons[size_t(i)]));
    if (b == nullptr) continue;
    b->setChecked(i == index);
    b->setIcon(smoothing_image(i == index));
    if (i < _strSmoothingArr.size()) b->setText(_strSmoothingArr[i]);
  }
  values_._valSmooth = 2 - index;
  sendUpdateTMPreviewNotif(0);
}

void ToneMappingPluginController::setCont() { updateLightMode(!ui_->chkCont->isChecked()); }

void ToneMappingPluginController::updateLightMode(bool sliderMode) {
  ui_->chkCont->setChecked(!sliderMode);
  values_.lightMode = !sliderMode;
  showSmoothingMode();
  sendUpdateTMPreviewNotif(0);
}

void ToneMappingPluginController::set360() {
  values_.pano = ui_->chkPano->isChecked();
  sendUpdateTMPreviewNotif(0);
}

}  // namespace brightloom::dialog
