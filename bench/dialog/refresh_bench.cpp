// SPDX-License-Identifier: MIT
// The dialog's responsiveness, offscreen, on a 12-megapixel 3:2 float document with 2 workers:
//   BM_Refresh/1, /2   from a control's update (the refresh it asks for) to the repainted preview
//                      at 858 x 572 (size type 1), "Details Enhancer" and "Tone Compressor";
//   BM_Slider/...      the same for a slider's new value, alternating between two values:
//                      control 101 Strength, 102 Saturation (finishing only), 103 WhiteClip,
//                      100 Luminosity, 106 Microcontrast (the whole method), 200 Brightness
//                      and 201 Compression (Tone Compressor);
//   BM_PreviewOnly/... the pipeline run alone, without bitmap, histogram, view and repaint;
//   BM_FirstPreview    from the call of DoCocoaUI to the dialog on screen with its first preview;
//   BM_Drag/1, /2      a two-second drag of Strength (Brightness) at 60 moves a second: the moves
//                      the event loop delivered, the fields that did not show their move at once,
//                      previews a second during the drag and previews after the release (the
//                      view is not painted offscreen, so a screen adds its repaints to these).
// Goals: under 100 ms and 25 ms for the refreshes, under 1 s for the first preview.
// Run with QT_QPA_PLATFORM=offscreen (set here when unset). The view is rendered with grab(),
// which paints it as the window system would.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

#include "brightloom/pipeline.h"
#include "brightloom/plugin.h"
#include "controller.h"
#include "views/bl_view.h"

namespace {

using brightloom::dialog::ToneMappingPluginController;

constexpr int kW = 4242, kH = 2828;  // 12.0 megapixels, 3:2
constexpr int kWorkers = 2;

// A float scene with a 16-stop range, texture and colour; a small LCG keeps it reproducible.
const std::vector<float> &document() {
  static const std::vector<float> pixels = [] {
    std::vector<float> v(size_t(kW) * kH * 3);
    uint32_t state = 2024;
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        state = state * 1664525u + 1013904223u;
        const float noise = float(state >> 8) / 16777216.0f;
        const float u = float(x) / kW, w = float(y) / kH;
        const float base = w < 0.6f ? 12.0f * (1.2f - w) : 0.02f + 0.3f * (1.0f - w);
        const float l = base * (0.7f + 0.3f * std::sin(60.0f * u) * std::sin(45.0f * w)) * (0.9f + 0.2f * noise);
        float *p = &v[(size_t(y) * kW + x) * 3];
        p[0] = l * (0.9f + 0.2f * u);
        p[1] = l;
        p[2] = l * (1.1f - 0.2f * u);
      }
    return v;
  }();
  return pixels;
}

// Calls DoCocoaUI like a host and runs `inside` once the dialog is on screen, then cancels.
int open_dialog(const std::function<void(QDialog &, ToneMappingPluginController &)> &inside) {
  HostImageInfo info{kW, kH, 3, 0, {0, 0}, 0};
  float tm[20] = {};
  UserSettings settings{1, 1, 0, 0, 0, 0, 0};
  QTimer::singleShot(0, [&] {
    auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
    ToneMappingPluginController *c = ToneMappingPluginController::active();
    if (dialog != nullptr && c != nullptr) inside(*dialog, *c);
    if (dialog != nullptr) dialog->reject();
  });
  return DoCocoaUI(&info, tm, &settings, nullptr, document().data());
}

void select_method(QDialog &d, ToneMappingPluginController &c, int method) {
  c.driver().workers = kWorkers;
  d.findChild<QTabWidget *>(QStringLiteral("tabMethod"))->setCurrentIndex(method - 1);
}

void BM_Refresh(benchmark::State &state) {
  const int method = int(state.range(0));
  open_dialog([&](QDialog &d, ToneMappingPluginController &c) {
    select_method(d, c, method);
    auto *view = d.findChild<BLView *>(QStringLiteral("_previewView"));
    for (auto _ : state) {
      c.sendUpdateTMPreviewNotif(0);
      // The offscreen platform does not paint on repaint(): render the view as a paint would.
      benchmark::DoNotOptimize(view->grab());
    }
    state.counters["width"] = c.driver()._qvW;
    state.counters["height"] = c.driver()._qvH;
  });
}
BENCHMARK(BM_Refresh)->Arg(1)->Arg(2)->ArgNames({"method"})->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_Slider(benchmark::State &state) {
  const int code = int(state.range(0));
  const int method = code >= 200 ? 2 : 1;
  const float values[2] = {float(state.range(1)), float(state.range(2))};
  open_dialog([&](QDialog &d, ToneMappingPluginController &c) {
    select_method(d, c, method);
    auto *view = d.findChild<BLView *>(QStringLiteral("_previewView"));
    int i = 0;
    for (auto _ : state) {
      c.updateParam(code, values[i++ & 1]);
      benchmark::DoNotOptimize(view->grab());
    }
  });
}
BENCHMARK(BM_Slider)
    ->ArgNames({"control", "a", "b"})
    ->Args({101, 30, 60})
    ->Args({102, 40, 80})
    ->Args({103, 1, 2})
    ->Args({100, 2, -2})
    ->Args({106, 3, -3})
    ->Args({200, 2, -2})
    ->Args({201, 3, -3})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

void BM_PreviewOnly(benchmark::State &state) {
  const int method = int(state.range(0));
  open_dialog([&](QDialog &d, ToneMappingPluginController &c) {
    select_method(d, c, method);
    const auto *record = c.tmSettingsDico()->record(method);
    for (auto _ : state) {
      auto r = c.driver().compute(method, record->data(), false);
      if (r.code <= 0) state.SkipWithError("preview failed");
    }
  });
}
BENCHMARK(BM_PreviewOnly)->Arg(1)->Arg(2)->ArgNames({"method"})->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_FirstPreview(benchmark::State &state) {
  document();  // the host has read its image before it calls the dialog
  for (auto _ : state) {
    QElapsedTimer clock;
    double seconds = 0;
    clock.start();
    open_dialog([&](QDialog &, ToneMappingPluginController &) { seconds = double(clock.nsecsElapsed()) * 1e-9; });
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(BM_FirstPreview)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

int previews = 0;
brightloom::pipeline::Outcome counted(brightloom::pipeline::Source &s, const brightloom::pipeline::Request &r) {
  ++previews;
  return brightloom::pipeline::run(s, r);
}

void BM_Drag(benchmark::State &state) {
  const int method = int(state.range(0));
  open_dialog([&](QDialog &d, ToneMappingPluginController &c) {
    select_method(d, c, method);
    auto *slider =
        d.findChild<QSlider *>(method == 1 ? QStringLiteral("sldStrength") : QStringLiteral("sldBrightness"));
    auto *field =
        d.findChild<QLineEdit *>(method == 1 ? QStringLiteral("txtStrength") : QStringLiteral("txtBrightness"));
    c.driver().runner = &counted;
    for (auto _ : state) {
      int moves = 0, missed = 0;
      previews = 0;
      QElapsedTimer clock;
      QEventLoop loop;
      QTimer mover;
      mover.setTimerType(Qt::PreciseTimer);
      mover.setInterval(16);
      QObject::connect(&mover, &QTimer::timeout, [&] {
        // Back and forth over most of the range, a new value at every move.
        const int position = method == 1 ? 200 + (moves * 70) % 600 : -60 + (moves * 7) % 120;
        slider->setValue(position);
        ++moves;
        const QString shown =
            method == 1 ? QString::asprintf("%1.0f", position / 10.0) : QString::asprintf("%1.1f", position / 10.0);
        if (field->text() != shown) ++missed;
        if (clock.elapsed() >= 2000) {
          mover.stop();
          loop.quit();
        }
      });
      clock.start();
      mover.start();
      loop.exec();
      const double seconds = double(clock.nsecsElapsed()) * 1e-9;
      const int during = previews;
      for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
      state.SetIterationTime(seconds);
      state.counters["moves_per_s"] = moves / seconds;
      state.counters["fields_missed"] = missed;
      state.counters["previews_per_s"] = during / seconds;
      state.counters["after_release"] = previews - during;
    }
    state.counters["width"] = c.driver()._qvW;
    state.counters["height"] = c.driver()._qvH;
    c.driver().runner = &brightloom::pipeline::run;
  });
}
BENCHMARK(BM_Drag)->Arg(1)->Arg(2)->ArgNames({"method"})->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
