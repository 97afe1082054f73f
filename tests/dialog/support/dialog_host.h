// SPDX-License-Identifier: MIT
// Test helpers that play the host: synthetic documents, a DoCocoaUI call driven from a zero-delay
// timer inside the dialog's modal run, and alerts recorded instead of shown.
#pragma once

#include <QDialog>
#include <QString>

#include <array>
#include <functional>
#include <vector>

#include "brightloom/plugin.h"
#include "controller.h"
#include "platform/services.h"

namespace dialog_test {

using brightloom::dialog::ToneMappingPluginController;

// A QApplication for tests that make widgets themselves (kept for the process, as the bundle
// keeps the one it creates).
void ensure_app();

// A document as a host hands it over.
struct Document {
  HostImageInfo info{};
  std::vector<unsigned char> pixels;  // iMax x jMax x spp samples of the docType's format
  std::vector<unsigned char> icc;     // the profile (info.lenProfile bytes), may be empty
};
// A small scene with twelve stops of range and colour: a bright sky over a darker ground.
// Float samples (linear light).
Document float_document(int width, int height, int spp);
// The same scene encoded as 16-bit (0..32768) or 8-bit samples with the sRGB curve.
Document u16_document(int width, int height, int spp);
Document u8_document(int width, int height, int spp);
// A linear profile with sRGB primaries (what a host hands with a float document).
std::vector<unsigned char> linear_srgb_profile();

// The host's records of one call.
struct Records {
  std::array<float, 20> tm{};
  UserSettings settings{1, 1, 0, 0, 0, 0, 0};
};

using Drive = std::function<void(QDialog &, ToneMappingPluginController &)>;
// Calls DoCocoaUI like a host. `drive` runs once the dialog is on screen; whatever it does, the
// dialog is cancelled afterwards if it is still open. Returns DoCocoaUI's result.
int call_dialog(Document &doc, Records &records, const Drive &drive);

// Clicks a button of the dialog by its outlet name.
void click(QDialog &dialog, const char *name);

// Alerts and panels answered by the test: alerts are recorded; nothing is opened.
class RecordingServices : public brightloom::dialog::UiServices {
 public:
  RecordingServices() { brightloom::dialog::set_ui_services(this); }
  ~RecordingServices() override { brightloom::dialog::set_ui_services(nullptr); }
  void alert(QWidget *, const QString &title, const QString &message, const QString &button) override {
    titles.push_back(title);
    messages.push_back(message);
    buttons.push_back(button);
    if (onAlert) onAlert();
  }
  bool confirm(QWidget *, const QString &, const QString &, const QString &, const QString &) override { return false; }
  QString openFile(QWidget *, const QString &, const QString &, const QString &, const QStringList &) override {
    return QString();
  }
  QString saveFile(QWidget *, const QString &, const QString &, const QString &) override { return QString(); }
  bool openUrl(const QUrl &url) override {
    opened.push_back(url);
    return true;
  }
  std::vector<QString> titles, messages, buttons;
  std::vector<QUrl> opened;
  std::function<void()> onAlert;
};

}  // namespace dialog_test
