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
// Types text into a field of the dialog and presses Return.
void type_into(QDialog &dialog, const char *name, const QString &text);
// Moves a slider to a position (in its own steps) as a drag does, without letting the event loop
// turn; settle() then lets it turn until nothing is pending (the coalesced updates run).
void move_slider(QDialog &dialog, const char *name, int position);
void settle();
// Chooses the first item of the preset popup with this title; false when there is none.
bool choose_preset(QDialog &dialog, const QString &title);
// The preset popup's items, separators as "-".
std::vector<QString> preset_menu(QDialog &dialog);

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
  bool confirm(QWidget *, const QString &, const QString &message, const QString &, const QString &) override {
    questions.push_back(message);
    return confirmAnswer;
  }
  QString openFile(QWidget *, const QString &, const QString &, const QString &, const QStringList &) override {
    return openAnswer;
  }
  QString saveFile(QWidget *, const QString &, const QString &folder, const QString &proposed) override {
    saveFolders.push_back(folder);
    proposedNames.push_back(proposed);
    return saveAnswer;
  }
  bool openUrl(const QUrl &url) override {
    opened.push_back(url);
    return true;
  }
  std::vector<QString> titles, messages, buttons;
  std::vector<QUrl> opened;
  std::function<void()> onAlert;
  // What the panels answer: a file to open or save to (empty: the user cancels), and the choice
  // of a confirmation.
  QString openAnswer, saveAnswer;
  bool confirmAnswer = false;
  std::vector<QString> questions, saveFolders, proposedNames;
};

}  // namespace dialog_test
