// SPDX-License-Identifier: MIT
// brightloom edit with the real dialog bundle, offscreen: the test plays the user inside the
// dialog's modal run and compares the picture edit writes with render's of the same settings.
#include <gtest/gtest.h>
#include <tmlib/tmlib.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QSpinBox>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "commands.h"
#include "edit.h"
#include "edit_state.h"
#include "support/test_images.h"

// fontconfig keeps a cache for the life of the process that Qt's font database never frees.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

using namespace brightloom;
using namespace testing_host;
namespace fs = std::filesystem;

namespace {


// The application the bundle finds and uses, as in a host that has its own.
void ensure_app() {
  if (QCoreApplication::instance() != nullptr) return;
  static int argc = 1;
  static char name[] = "edit_dialog_test";
  static char *argv[] = {name, nullptr};
  static QApplication *app = new QApplication(argc, argv);
  (void)app;
}

class EditDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    ::setenv("BRIGHTLOOM_DIALOG", DIALOG_BUNDLE, 1);
    ensure_app();
    auto full = read_image(std::string(BRIGHTLOOM_TEST_DATA) + "/sunset.exr");
    ASSERT_TRUE(full) << full.failure().message();
    const Image small = reduce(*full, 8);
    std::vector<float> px(small.pixels.as<float>(), small.pixels.as<float>() + size_t(small.width) * small.height * 3);
    write_exr_rgb(dir.file("a.exr"), small.width, small.height, px, false);
  }

  // Runs edit; `user` acts in the dialog once it is on screen, then OK (or Cancel) is pressed.
  int edit_and_confirm(const std::function<void(QDialog &)> &user, std::string *errors, bool ok = true) {
    bool seen = false;
    QTimer::singleShot(0, [&] {
      auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
      if (dialog == nullptr) return;
      seen = true;
      user(*dialog);
      const QString button = ok ? QStringLiteral("_doneButton") : QStringLiteral("_cancelButton");
      if (auto *b = dialog->findChild<QAbstractButton *>(button)) b->click();
      if (dialog->isVisible()) dialog->reject();
    });
    EditRequest r;
    r.input = dir.file("a.exr");
    r.quiet = true;
    Capture out, err;
    const int rc = run_edit(r, out.f, err.f);
    *errors = err.text();
    EXPECT_TRUE(seen) << "the dialog never came on screen";
    return rc;
  }

  ReadBack render_with(const std::string &folder, const std::string &method, std::vector<std::string> sets,
                       bool last = false) {
    RenderRequest req;
    req.inputs = {dir.file("a.exr")};
    req.out_dir = dir.file(folder);
    req.quiet = true;
    req.save_last = false;
    req.method = method;
    req.sets = std::move(sets);
    req.last = last;
    Capture out, err;
    EXPECT_EQ(run_render(req, out.f, err.f), kExitOk) << err.text();
    return read_png_back(dir.file(folder + "/a.png"));
  }

  ScratchDir dir;
};

// A record confirmed in an earlier edit (Strength 80) is where the dialog starts; OK with it
// gives render's picture of Strength=80, and render --last takes it over.
TEST_F(EditDialog, OkWithTheStickyRecordGivesRendersPicture) {
  EditState before;
  tmparam_default(1, 0, before.param.data());
  before.param[TMLIB_DE_STRENGTH] = 80.0f;
  before.settings.method = 1;
  ASSERT_TRUE(save_edit_state(edit_state_path(), before));

  std::string err;
  ASSERT_EQ(edit_and_confirm([](QDialog &) {}, &err), kExitOk) << err;
  const ReadBack edited = read_png_back(dir.file("a.png"));
  const ReadBack rendered = render_with("strength", "details", {"Strength=80"});
  EXPECT_EQ(edited.samples, rendered.samples);
  EXPECT_NE(edited.samples, render_with("defaults", "details", {}).samples);
  EXPECT_EQ(render_with("last", "", {}, true).samples, edited.samples);
  EXPECT_EQ(load_edit_state(edit_state_path()).state.param[TMLIB_DE_STRENGTH], 80.0f);
}

// The user moves Strength to 55 and presses OK: the full picture is render's with Strength=55.
TEST_F(EditDialog, MovingStrengthThenOkGivesRendersPictureOfThatStrength) {
  std::string err;
  ASSERT_EQ(edit_and_confirm(
                [](QDialog &d) {
                  // The slider moves in tenths; its update runs once the stream of moves pauses.
                  d.findChild<QSlider *>(QStringLiteral("sldStrength"))->setValue(550);
                  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
                },
                &err),
            kExitOk)
      << err;
  EXPECT_EQ(read_png_back(dir.file("a.png")).samples, render_with("strength55", "details", {"Strength=55"}).samples);
  EXPECT_EQ(load_edit_state(edit_state_path()).state.param[TMLIB_DE_STRENGTH], 55.0f);
}

// The user picks the Tone Compressor tab and confirms: the picture is render's with that method,
// and the next edit is told the method it was.
TEST_F(EditDialog, OkOnTheToneCompressorTabGivesRendersPicture) {
  std::string err;
  ASSERT_EQ(edit_and_confirm(
                [](QDialog &d) { d.findChild<QTabWidget *>(QStringLiteral("tabMethod"))->setCurrentIndex(1); }, &err),
            kExitOk)
      << err;
  EXPECT_EQ(read_png_back(dir.file("a.png")).samples, render_with("compressor", "compressor", {}).samples);
  EXPECT_EQ(load_edit_state(edit_state_path()).state.settings.method, 2);
}

}  // namespace

namespace {

// The preview size and the window the user left the dialog with, even by Cancel, are where the
// next edit starts.
TEST_F(EditDialog, TheNextEditOpensWithTheLastPreviewSizeAndWindow) {
  std::string err;
  EXPECT_EQ(edit_and_confirm(
                [](QDialog &d) {
                  d.findChild<QSpinBox *>(QStringLiteral("stpPreviewSize"))->setValue(2);
                  d.move(120, 90);
                  d.resize(1000, 700);
                },
                &err, false),
            kExitCancelled)
      << err;
  const UserSettings saved = load_edit_state(edit_state_path()).state.settings;
  EXPECT_EQ(saved.stickySizeType, 2);
  EXPECT_EQ(saved.winWidth, 1000);
  EXPECT_EQ(saved.winHeight, 700);

  int size = 0;
  QRect frame;
  EXPECT_EQ(edit_and_confirm(
                [&](QDialog &d) {
                  size = d.findChild<QSpinBox *>(QStringLiteral("stpPreviewSize"))->value();
                  frame = QRect(d.frameGeometry().topLeft(), d.size());
                },
                &err, false),
            kExitCancelled);
  EXPECT_EQ(size, 2);
  EXPECT_EQ(frame, QRect(saved.winX, saved.winY, 1000, 700));
  EXPECT_FALSE(fs::exists(dir.file("a.png")));
}

}  // namespace
