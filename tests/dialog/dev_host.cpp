// SPDX-License-Identifier: MIT
// A small development host: reads an image with the program's readers, loads the dialog bundle
// the way a host does (dlopen, dlsym "DoCocoaUI") and shows the image in it. With --grab the
// dialog's window is saved as a PNG once the first preview is on screen and the dialog is left
// with Cancel (or OK with --ok), which works offscreen (QT_QPA_PLATFORM=offscreen).
//
//   brightloom_dialog_dev IMAGE [--bits16] [--no-profile] [--method 2] [--size 0..8]
//                               [--original] [--preset NAME] [--close Tone|Color|Smoothing]
//                               [--grab OUT.png] [--ok]
// --bits16 hands a float image as a 16-bit document (sRGB-encoded, clipped at 1.0 as an editor's
// conversion does); --original grabs the "Show Original" view; --preset chooses an item of the
// preset popup and --close folds a box of the first tab before the grab.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QTabWidget>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "brightloom/plugin.h"
#include "dialog_call.h"
#include "document_profile.h"
#include "image.h"

namespace {

// A 16-bit version of a float image, as an editor converts it: sRGB-encoded, 0..32768.
void to_16_bits(brightloom::Image &img) {
  const int64_t n = img.pixel_count() * img.spp;
  brightloom::Buffer out = brightloom::Buffer::allocate(n, 2);
  const float *f = img.pixels.as<float>();
  uint16_t *o = out.as<uint16_t>();
  for (int64_t i = 0; i < n; ++i) {
    double v = f[i] > 0.0f ? double(f[i]) : 0.0;
    v = v >= 1.0 ? 1.0 : v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
    o[i] = uint16_t(std::lround(v * 32768.0));
  }
  img.pixels = std::move(out);
  img.type = brightloom::SampleType::U16;
}

}  // namespace

int main(int argc, char **argv) {
  std::string path, grab, preset, close;
  bool bits16 = false, profile = true, ok = false, original = false;
  int method = 1, size = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--bits16")
      bits16 = true;
    else if (a == "--no-profile")
      profile = false;
    else if (a == "--ok")
      ok = true;
    else if (a == "--original")
      original = true;
    else if (a == "--method" && i + 1 < argc)
      method = std::atoi(argv[++i]);
    else if (a == "--size" && i + 1 < argc)
      size = std::atoi(argv[++i]);
    else if (a == "--preset" && i + 1 < argc)
      preset = argv[++i];
    else if (a == "--close" && i + 1 < argc)
      close = argv[++i];
    else if (a == "--grab" && i + 1 < argc)
      grab = argv[++i];
    else if (path.empty() && a[0] != '-')
      path = a;
    else {
      std::fprintf(
          stderr,
          "usage: %s IMAGE [--bits16] [--no-profile] [--method 2] [--size N] [--original] [--grab OUT.png] [--ok]\n",
          argv[0]);
      return 2;
    }
  }
  if (path.empty()) {
    std::fprintf(stderr, "usage: %s IMAGE [options]\n", argv[0]);
    return 2;
  }
  QApplication app(argc, argv);

  auto read = brightloom::read_image(path, 2);
  if (!read) {
    std::fprintf(stderr, "%s\n", read.failure().message().c_str());
    return 1;
  }
  brightloom::Image &img = read.value();
  if (img.type == brightloom::SampleType::RGBE) {
    std::fprintf(stderr, "%s: RGBE images are not handed to the dialog by this tool\n", path.c_str());
    return 1;
  }
  if (bits16 && img.type == brightloom::SampleType::F32) to_16_bits(img);
  // The profile `brightloom edit` hands the dialog with the same document.
  std::vector<unsigned char> icc;
  if (profile) icc = brightloom::document_profile(img);

  // The build's bundle unless BRIGHTLOOM_DIALOG names another.
  ::setenv(brightloom::kDialogEnv, BRIGHTLOOM_BUNDLE, 0);
  auto bundle = brightloom::load_dialog_bundle();
  if (!bundle) {
    std::fprintf(stderr, "%s\n", bundle.failure().message().c_str());
    return 1;
  }
  const brightloom::DoCocoaUIFn doCocoaUI = bundle.value().doCocoaUI;

  HostImageInfo info{img.width, img.height, img.spp, img.doc_type(), {0, 0}, int32_t(icc.size())};
  float tm[20] = {};
  UserSettings settings{1, size, 0, 0, 0, 0, 0};
  QElapsedTimer clock;
  if (!grab.empty()) {
    QTimer::singleShot(0, [&] {
      std::printf("first preview on screen after %lld ms\n", static_cast<long long>(clock.elapsed()));
      QWidget *w = QApplication::activeModalWidget();
      auto *dialog = qobject_cast<QDialog *>(w);
      if (dialog == nullptr) return;
      if (method == 2) dialog->findChild<QTabWidget *>(QStringLiteral("tabMethod"))->setCurrentIndex(1);
      if (!preset.empty()) {
        auto *popup = dialog->findChild<QComboBox *>(QStringLiteral("cmbPreset"));
        const int at = popup->findText(QString::fromStdString(preset));
        if (at < 0) std::fprintf(stderr, "no preset %s\n", preset.c_str());
        popup->setCurrentIndex(at);
        Q_EMIT popup->activated(at);
      }
      if (!close.empty())
        if (auto *b = dialog->findChild<QAbstractButton *>(QString::fromStdString("discl" + close))) b->click();
      if (original)
        qobject_cast<QAbstractButton *>(dialog->findChild<QWidget *>(QStringLiteral("btnPreview")))->click();
      QApplication::processEvents();
      if (!dialog->grab().save(QString::fromStdString(grab))) std::fprintf(stderr, "cannot write %s\n", grab.c_str());
      if (original)
        qobject_cast<QAbstractButton *>(dialog->findChild<QWidget *>(QStringLiteral("btnPreview")))->click();
      if (ok)
        qobject_cast<QAbstractButton *>(dialog->findChild<QWidget *>(QStringLiteral("_doneButton")))->click();
      else
        dialog->reject();
    });
  }
  clock.start();
  const int r = doCocoaUI(&info, tm, &settings, icc.empty() ? nullptr : icc.data(), img.pixels.data());
  std::printf("DoCocoaUI returned %d; method %d, size type %d, frame %d,%d %dx%d\nTmParam:", r, settings.method,
              settings.stickySizeType, settings.winX, settings.winY, settings.winWidth, settings.winHeight);
  for (float v : tm) std::printf(" %g", double(v));
  std::printf("\n");
  return 0;
}
