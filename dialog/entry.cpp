// SPDX-License-Identifier: MIT
// DoCocoaUI: the bundle's one entry point, and the call state it fills.
#include <QDialog>

#include <cstdio>
#include <exception>

#include "brightloom/plugin.h"
#include "call_state.h"
#include "controller.h"
#include "platform/application.h"

namespace brightloom::dialog {

CallState &call_state() {
  static CallState state;
  return state;
}

void take_call(CallState &s, const HostImageInfo &info, float *tmParam, UserSettings *settings,
               const unsigned char *iccProfile, const void *pixels) {
  s._iMax = info.iMax;
  s._jMax = info.jMax;
  s._spp = info.spp;
  s._docType = info.docType;
  if (info.lenProfile > 0 && iccProfile != nullptr) {
    s._lenProfile = info.lenProfile;
    s._ptrIccProfile = iccProfile;
  } else {
    s._lenProfile = 0;
    s._ptrIccProfile = nullptr;
  }
  if (settings != nullptr && unsigned(settings->stickySizeType) <= 8u) s._prefSizeType = settings->stickySizeType;
  s._ptrOriginalHDRsourceBuf = pixels;
  s._ptrUserSettings = settings;
  s._ptrTmParam = tmParam;
}

}  // namespace brightloom::dialog

extern "C" int DoCocoaUI(HostImageInfo *info, float *tmParam, UserSettings *settings, const unsigned char *iccProfile,
                         const void *pixels) {
  using namespace brightloom::dialog;
  // Without its records the dialog could not give the user's choice back.
  if (info == nullptr || tmParam == nullptr || settings == nullptr) return 0;
  take_call(call_state(), *info, tmParam, settings, iccProfile, pixels);
  if (!ensure_application()) {
    std::fprintf(stderr, "Brightloom: the host's Qt application has no widgets; the dialog cannot be shown\n");
    return 0;
  }
  // Nothing may escape into a host that knows only C: a failure ends the dialog as Cancel would.
  try {
    ToneMappingPluginController controller;
    QDialog *window = controller.window();
    const int code = window->exec();
    window->close();
    return code == 1 ? 1 : 0;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "Brightloom: the dialog failed: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "Brightloom: the dialog failed\n");
  }
  return 0;
}
