// SPDX-License-Identifier: MIT
#include "support/dialog_host.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSlider>
#include <QApplication>
#include <QColorSpace>
#include <QTimer>

#include <cmath>
#include <cstring>

// Leak detection stays on for our code; fontconfig keeps a cache of its own for the life of the
// process, which Qt's font database never frees.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace dialog_test {
namespace {

// Linear RGB of the scene at (x, y): sky from 20 at the top to 1 at the horizon (two thirds up),
// ground from 0.3 to 0.005, with a warm tint that varies across.
void scene(int x, int y, int w, int h, float rgb[3]) {
  const float u = (float(x) + 0.5f) / float(w), v = (float(y) + 0.5f) / float(h);
  float l;
  if (v < 0.66f)
    l = std::exp2(4.3f * (1.0f - v / 0.66f));
  else
    l = 0.3f * std::exp2(-6.0f * (v - 0.66f) / 0.34f) * (0.6f + 0.4f * std::sin(40.0f * u));
  rgb[0] = l * (0.8f + 0.4f * u);
  rgb[1] = l * 0.9f;
  rgb[2] = l * (1.2f - 0.4f * u);
}

float srgb(float v) {
  v = std::clamp(v, 0.0f, 1.0f);
  return v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
}

template <class T, class F>
Document make(int width, int height, int spp, int docType, F convert) {
  Document d;
  d.info = HostImageInfo{width, height, spp, docType, {0, 0}, 0};
  d.pixels.resize(size_t(width) * height * spp * sizeof(T));
  T *p = reinterpret_cast<T *>(d.pixels.data());
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      float rgb[3];
      scene(x, y, width, height, rgb);
      T *px = p + (size_t(y) * width + x) * spp;
      if (spp == 1) {
        px[0] = convert(0.2125f * rgb[0] + 0.7154f * rgb[1] + 0.0721f * rgb[2]);
      } else {
        for (int s = 0; s < spp; ++s) px[s] = convert(0.0f);  // extra channels
        px[0] = convert(rgb[0]);
        px[(spp - 1) / 2] = convert(rgb[1]);
        px[spp - 1] = convert(rgb[2]);
      }
    }
  return d;
}

}  // namespace

void ensure_app() {
  if (QCoreApplication::instance() != nullptr) return;
  static int argc = 1;
  static char name[] = "dialog_test";
  static char *argv[] = {name, nullptr};
  static QApplication *app = new QApplication(argc, argv);
  (void)app;
}

Document float_document(int width, int height, int spp) {
  return make<float>(width, height, spp, 0, [](float v) { return v; });
}

Document u16_document(int width, int height, int spp) {
  return make<uint16_t>(width, height, spp, 1,
                        [](float v) { return uint16_t(std::lround(srgb(v / 20.0f) * 32768.0f)); });
}

Document u8_document(int width, int height, int spp) {
  return make<uint8_t>(width, height, spp, 2, [](float v) { return uint8_t(std::lround(srgb(v / 20.0f) * 255.0f)); });
}

std::vector<unsigned char> linear_srgb_profile() {
  ensure_app();
  const QByteArray icc = QColorSpace(QColorSpace::SRgbLinear).iccProfile();
  return std::vector<unsigned char>(icc.begin(), icc.end());
}

int call_dialog(Document &doc, Records &records, const Drive &drive) {
  ensure_app();
  doc.info.lenProfile = int32_t(doc.icc.size());
  QTimer::singleShot(0, [&drive] {
    auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
    ToneMappingPluginController *controller = ToneMappingPluginController::active();
    if (dialog != nullptr && controller != nullptr) drive(*dialog, *controller);
    if (dialog != nullptr && dialog->isVisible()) dialog->reject();
  });
  return DoCocoaUI(&doc.info, records.tm.data(), &records.settings, doc.icc.empty() ? nullptr : doc.icc.data(),
                   doc.pixels.data());
}

void click(QDialog &dialog, const char *name) {
  if (auto *b = dialog.findChild<QAbstractButton *>(QString::fromLatin1(name))) b->click();
}

void type_into(QDialog &dialog, const char *name, const QString &text) {
  auto *field = dialog.findChild<QLineEdit *>(QString::fromLatin1(name));
  if (field == nullptr) return;
  field->setText(text);
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QCoreApplication::sendEvent(field, &press);
}

void move_slider(QDialog &dialog, const char *name, int position) {
  if (auto *slider = dialog.findChild<QSlider *>(QString::fromLatin1(name))) slider->setValue(position);
}

void settle() {
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

bool choose_preset(QDialog &dialog, const QString &title) {
  auto *popup = dialog.findChild<QComboBox *>(QStringLiteral("cmbPreset"));
  const int at = popup->findText(title);
  if (at < 0) return false;
  popup->setCurrentIndex(at);
  Q_EMIT popup->activated(at);
  return true;
}

std::vector<QString> preset_menu(QDialog &dialog) {
  auto *popup = dialog.findChild<QComboBox *>(QStringLiteral("cmbPreset"));
  std::vector<QString> items;
  for (int i = 0; i < popup->count(); ++i)
    items.push_back(popup->itemData(i, Qt::AccessibleDescriptionRole).toString() == QLatin1String("separator")
                        ? QStringLiteral("-")
                        : popup->itemText(i));
  return items;
}

}  // namespace dialog_test
